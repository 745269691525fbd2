// The text of the server's output: UTF-8 decoding, line separators and the
// port announcement ("порт", one space, a run of decimal digits).
//
// Everything here works on bytes and gives the same answer for raw output
// as for its decoded text: separators and the announcement start with bytes
// that are never continuation bytes, so no ill-formed sequence before them
// can swallow them. That lets the reader thread join the lines that its
// reads cut and pick what can still matter before it decodes anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillary {

// Valid UTF-8 in which each maximal ill-formed part of the input (also a
// sequence cut off at either end) became one U+FFFD. Never fails.
std::string decodeUtf8(std::string_view bytes);

// Unicode general category Nd.
bool isDecimalDigit(char32_t c);

// The last at most `lines.size()` non-empty lines of the text, oldest first
// at the front of `lines`; returns how many there are. Lines are cut at LF,
// VT, FF, CR, NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR, empty ones
// dropped, nothing trimmed. Only the end of the text is read.
std::size_t lastLines(std::string_view text, std::span<std::string_view> lines);

// Where the text's first line ends: the start of its first separator, or
// the text's size when it has none.
std::size_t firstLineEnd(std::string_view text);

// Where the text's unfinished last line starts: just after its last
// separator, or 0 when it has none.
std::size_t lastLineStart(std::string_view text);

// A separator cut by a read: NEL is two bytes long, LINE SEPARATOR and
// PARAGRAPH SEPARATOR three. How many of its bytes end `before` and how many
// begin `after`; both 0 when no separator spans the two.
struct SeparatorAcross {
    std::size_t inBefore = 0, inAfter = 0;
};
SeparatorAcross separatorAcross(std::string_view before, std::string_view after);

// Where a line longer than `limit` bytes is cut into a piece: at most
// `limit` bytes in, never inside a character, and never inside an
// announcement (its word, its space or its at most 64 digits) that the
// piece does not begin with, so that a number is never learned from its
// first digits.
std::size_t pieceEnd(std::string_view line, std::size_t limit);

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
