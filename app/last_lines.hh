// The last lines of the server's output: what the failure report is made
// from, and what the output waiting for the main thread is kept down to.
#pragma once

#include "app/texts.hh"

#include <deque>
#include <optional>
#include <utility>

namespace quillary {

// At most kTailLines lines, oldest first; a line added to a full one pushes
// out the oldest.
template <typename Line>
class LastLines {
public:
    // Adds the line; the one pushed out, if any.
    std::optional<Line> add(Line line)
    {
        lines_.push_back(std::move(line));
        if (lines_.size() <= kTailLines)
            return std::nullopt;
        std::optional<Line> out(std::move(lines_.front()));
        lines_.pop_front();
        return out;
    }
    void clear() { lines_.clear(); }

    std::size_t size() const { return lines_.size(); }
    const Line& operator[](std::size_t index) const { return lines_[index]; }
    auto begin() const { return lines_.begin(); }
    auto end() const { return lines_.end(); }

private:
    std::deque<Line> lines_;
};

} // namespace quillary
