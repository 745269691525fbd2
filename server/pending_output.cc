#include "server/pending_output.hh"

#include "app/texts.hh"
#include "server/output_text.hh"

#include <algorithm>
#include <array>

namespace quillary {

bool PendingOutput::add(std::string_view bytes)
{
    // Decided on the raw bytes, so that only what is kept gets decoded.
    std::optional<Announcement> announcement;
    if (!announcementPassedOn_) {
        announcement = findAnnouncement(bytes);
        announcementPassedOn_ = announcement.has_value();
    }
    std::array<std::string_view, kTailLines> last;
    std::size_t count = lastLines(bytes, last);
    auto isAnnouncement = [&](std::string_view line) {
        return announcement && line.data() == announcement->line.data();
    };

    std::array<Line, kTailLines + 1> kept;
    std::size_t keptCount = 0;
    if (announcement && std::none_of(last.begin(), last.begin() + count, isAnnouncement))
        kept[keptCount++] = {decodeUtf8(announcement->line), true};
    for (std::size_t i = 0; i < count; ++i)
        kept[keptCount++] = {decodeUtf8(last[i]), isAnnouncement(last[i])};
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < keptCount; ++i) {
        std::optional<Line> out = lines_.add(std::move(kept[i]));
        if (out && out->announcement)
            announcement_ = std::move(out->text);
    }
    return announcement.has_value();
}

std::string PendingOutput::take()
{
    std::lock_guard lock(mutex_);
    std::string text;
    if (announcement_)
        text = std::move(*announcement_);
    for (const Line& line : lines_) {
        if (!text.empty())
            text += '\n';
        text += line.text;
    }
    announcement_.reset();
    lines_.clear();
    return text;
}

} // namespace quillary
