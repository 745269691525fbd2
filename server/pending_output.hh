// Output that the reader thread has read and the main thread has not yet
// consumed.
//
// A server can write far faster than the main thread consumes, and the main
// thread can be busy for long (an alert, the quit wait). So what waits is
// kept down to what can still change the tail or the port: the last lines,
// and the first line whose announcement converts. Consuming that gives the
// same tail and port as consuming every chunk, and it never holds more than
// thirteen lines, each at most one read long.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quillary {

class PendingOutput {
public:
    // Adds the bytes of one read (reader thread). True when nothing was
    // pending before: the caller then queues one step that takes it all.
    bool add(std::string_view bytes);

    // Everything pending, as text for consume (main thread), and empties.
    std::string take();

private:
    struct Line {
        std::string text;
        bool announcement = false;
    };

    void keep(Line line);

    // Once a convertible announcement has been passed on, no later one can
    // win: the reader stops looking. Touched by the reader thread only.
    bool announcementPassedOn_ = false;

    std::mutex mutex_;
    // The announcement line, once newer lines have pushed it out of `lines_`.
    std::optional<std::string> announcement_;
    std::deque<Line> lines_; // the last lines, oldest first
};

} // namespace quillary
