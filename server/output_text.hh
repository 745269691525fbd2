// The text of the server's output: UTF-8 decoding, line separators and the
// port announcement ("порт", one space, a run of decimal digits).
//
// Everything here works on bytes and gives the same answer for raw output
// as for its decoded text: separators and the announcement start with bytes
// that are never continuation bytes, so no ill-formed sequence before them
// can swallow them. That lets the reader thread pick what can still matter
// before it decodes anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillary {

inline constexpr char32_t kReplacementCharacter = U'\uFFFD';

struct DecodedCharacter {
    char32_t codePoint; // U+FFFD for an ill-formed sequence
    std::size_t length; // bytes taken: the sequence, or its maximal ill-formed part
    bool wellFormed;
};

// The character at `pos` (which must be inside the text).
DecodedCharacter decodeCharacterAt(std::string_view bytes, std::size_t pos);

// Valid UTF-8 in which each maximal ill-formed part of the input (also a
// sequence cut off at either end) became one U+FFFD. Never fails.
std::string decodeUtf8(std::string_view bytes);

// Unicode general category Nd.
bool isDecimalDigit(char32_t c);

// Length of the line separator that starts at `pos`, or 0. The separators
// are LF, VT, FF, CR, NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR; CR LF
// counts as two, which gives the same lines since empty ones are dropped.
std::size_t separatorLengthAt(std::string_view text, std::size_t pos);

// Calls `visit` with each non-empty line of the text, in order, without
// its separator and untrimmed.
template <class Visit>
void forEachLine(std::string_view text, Visit&& visit)
{
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (std::size_t length = separatorLengthAt(text, i)) {
            if (i > start)
                visit(text.substr(start, i - start));
            i += length;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        visit(text.substr(start));
}

// The last at most `lines.size()` non-empty lines of the text, oldest first
// at the front of `lines`; returns how many there are. Only the end of the
// text is read.
std::size_t lastLines(std::string_view text, std::span<std::string_view> lines);

struct Announcement {
    std::string_view line;
    // The announced number: the digits of the line's leftmost announcement,
    // all ASCII, fitting a signed 64-bit integer.
    std::int64_t port;
};

// The first line of the text whose leftmost announcement converts. A line
// whose leftmost announcement does not convert gives nothing, whatever follows.
std::optional<Announcement> findAnnouncement(std::string_view text);

} // namespace quillary
