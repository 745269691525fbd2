// Cutting the server's output into lines, keeping the last of them and
// learning the port.
#include "app/app_delegate.hh"

#include "app/texts.hh"
#include "server/output_text.hh"

#include <array>

namespace quillary {

void AppDelegate::consume(std::string_view text)
{
    // The first convertible announcement wins for the rest of the run, and
    // no line after it is searched.
    if (!port) {
        if (std::optional<Announcement> announcement = findAnnouncement(text)) {
            port = announcement->port;
            app.debugLog("port learned: " + std::to_string(*port));
        }
    }

    // Lines before a chunk's last twelve would be pushed out of the tail by
    // them at once, so only those are stored.
    std::array<std::string_view, kTailLines> lines;
    std::size_t count = lastLines(text, lines);
    for (std::size_t i = 0; i < count; ++i)
        tail.add(std::string(lines[i]));
}

} // namespace quillary
