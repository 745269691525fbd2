// Output that the reader thread has read and the main thread has not yet
// consumed.
//
// A server can write far faster than the main thread consumes, and the main
// thread can be busy for long (an alert, the quit wait). So what waits is
// kept down to what can still change the tail or the port: the last lines,
// and the first line whose announcement converts. Consuming that gives the
// same tail and port as consuming every chunk, and it never holds more than
// thirteen lines, each at most one read long.
//
// Nor is the main thread woken for every read: it needs the port as soon as
// it is announced, and the tail only once the server has ended, when it
// takes what is pending before it handles the end.
#pragma once

#include "app/last_lines.hh"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quillary {

class PendingOutput {
public:
    // Adds the bytes of one read (reader thread). True when the read brought
    // the first announcement that converts: the caller then queues a step
    // that takes what is pending, so that the port is known at once.
    bool add(std::string_view bytes);

    // Everything pending, as text for consume (main thread), and empties.
    std::string take();

private:
    struct Line {
        std::string text;
        bool announcement = false;
    };

    // Once a convertible announcement has been passed on, no later one can
    // win: the reader stops looking. Touched by the reader thread only.
    bool announcementPassedOn_ = false;

    std::mutex mutex_;
    // The announcement line, once newer lines have pushed it out of `lines_`.
    std::optional<std::string> announcement_;
    LastLines<Line> lines_;
};

} // namespace quillary
