#include "server/pending_output.hh"

#include "app/texts.hh"
#include "server/output_text.hh"

#include <algorithm>
#include <array>

namespace quillary {

bool PendingOutput::add(std::string_view bytes)
{
    if (bytes.empty()) {
        bool announced = keep(unfinished_);
        unfinished_.clear();
        return announced;
    }
    bool announced = false;
    std::size_t whole = 0; // where the read's own whole lines start
    if (!unfinished_.empty()) {
        // The carried line ends at the read's first separator, or at one
        // that the read finishes.
        auto [inBefore, inAfter] = separatorAcross(unfinished_, bytes);
        std::size_t end = inAfter ? 0 : firstLineEnd(bytes);
        if (!inAfter && end == bytes.size())
            return carry(bytes);
        unfinished_.resize(unfinished_.size() - inBefore);
        announced = carry(bytes.substr(0, end));
        announced = keep(unfinished_) || announced;
        unfinished_.clear();
        whole = inAfter ? inAfter : end;
    }
    std::size_t unfinished = std::max(whole, lastLineStart(bytes));
    announced = keep(bytes.substr(whole, unfinished - whole)) || announced;
    return carry(bytes.substr(unfinished)) || announced;
}

bool PendingOutput::carry(std::string_view bytes)
{
    bool announced = false;
    while (unfinished_.size() + bytes.size() > kLongestLine) {
        // A few bytes past the limit, to see where a character ends.
        std::size_t taken = std::min(bytes.size(), kLongestLine - unfinished_.size() + 3);
        unfinished_.append(bytes.substr(0, taken));
        bytes.remove_prefix(taken);
        std::size_t end = pieceEnd(unfinished_, kLongestLine);
        announced = keep(std::string_view(unfinished_).substr(0, end)) || announced;
        unfinished_.erase(0, end);
    }
    unfinished_.append(bytes);
    return announced;
}

bool PendingOutput::keep(std::string_view bytes)
{
    if (bytes.empty())
        return false;
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
