// Output that the reader thread has read and the main thread has not yet
// consumed.
//
// Lines are the server's, not the reads': a line that a read cuts (a
// server's one write larger than the pipe, a block-buffered standard output
// flushed when its buffer fills) waits, as bytes, for the read that ends it,
// and is passed on whole, so that its letters and its port's digits are
// whole too. The end of the output ends an unfinished line. A line longer
// than kLongestLine is passed on in pieces of at most that much.
//
// A server can write far faster than the main thread consumes, and the main
// thread can be busy for long (an alert, the quit wait). So what waits is
// kept down to what can still change the tail or the port: the last lines,
// and the first line whose announcement converts. Consuming that gives the
// same tail and port as consuming every line, and it never holds more than
// thirteen lines, each at most kLongestLine long, and the unfinished one.
//
// Nor is the main thread woken for every read: it needs the port as soon as
// it is announced, and the tail only once the server has ended, when it
// takes what is pending before it handles the end.
#pragma once

#include "app/last_lines.hh"

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quillary {

class PendingOutput {
public:
    // The longest line passed on whole: a default pipe's capacity, so one
    // read of it, which is also what held the tail's lines before lines were
    // joined across reads. Memory stays flat at thirteen such lines and one
    // unfinished, whatever the server writes; any real announcement fits.
    static constexpr std::size_t kLongestLine = 64 * 1024;

    // Adds the bytes of one read (reader thread); no bytes is the end of the
    // output. True when they brought the first announcement that converts:
    // the caller then queues a step that takes what is pending, so that the
    // port is known at once.
    bool add(std::string_view bytes);

    // Every line pending, as text for consume (main thread), and empties.
    std::string take();

private:
    struct Line {
        std::string text;
        bool announcement = false;
    };

    // Whole lines: what of them can still matter waits for the main thread.
    bool keep(std::string_view lines);
    // Adds to the unfinished line, passing on pieces of it that grow too long.
    bool carry(std::string_view bytes);

    // Once a convertible announcement has been passed on, no later one can
    // win: the reader stops looking. Touched by the reader thread only.
    bool announcementPassedOn_ = false;
    // The line the last read left unfinished, as bytes. Reader thread only.
    std::string unfinished_;

    std::mutex mutex_;
    // The announcement line, once newer lines have pushed it out of `lines_`.
    std::optional<std::string> announcement_;
    LastLines<Line> lines_;
};

} // namespace quillary
