#include "app/alert_text.hh"

#include <cstddef>

namespace quillary {

namespace {

// A line of the explanation longer than this, in characters, is shown by its
// start and its end: a toolkit lays out a label of hundreds of thousands of
// characters for minutes, a terminal scrolls it away, and nobody reads such
// a line anyway.
constexpr std::size_t kLongestLineShown = 1000;

bool startsCharacter(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
}

// The byte offset of the character at `index` (counted from 0), or the
// line's size when it has no more characters.
std::size_t offsetOfCharacter(std::string_view line, std::size_t index)
{
    for (std::size_t offset = 0; offset < line.size(); ++offset) {
        if (startsCharacter(line[offset]) && index-- == 0)
            return offset;
    }
    return line.size();
}

void appendShown(std::string& shown, std::string_view line)
{
    std::size_t length = 0;
    for (char byte : line)
        length += startsCharacter(byte);
    if (length <= kLongestLineShown) {
        shown.append(line);
        return;
    }
    shown.append(line.substr(0, offsetOfCharacter(line, kLongestLineShown / 2 - 1)))
        .append("…")
        .append(line.substr(offsetOfCharacter(line, length - kLongestLineShown / 2)));
}

} // namespace

std::string alertText(std::string_view text)
{
    std::string withoutNul;
    for (char c : text) {
        if (c == '\0')
            withoutNul.append("\uFFFD");
        else
            withoutNul.push_back(c);
    }
    std::string_view rest = withoutNul;
    std::string shown;
    for (;;) {
        std::size_t end = rest.find('\n');
        appendShown(shown, rest.substr(0, end));
        if (end == std::string_view::npos)
            return shown;
        shown += '\n';
        rest.remove_prefix(end + 1);
    }
}

} // namespace quillary
