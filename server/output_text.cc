#include "server/output_text.hh"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace quillary {

namespace {

constexpr std::string_view kAnnouncementWord = "порт "; // the word and its one space
constexpr char32_t kReplacementCharacter = U'\uFFFD';

struct DecodedCharacter {
    char32_t codePoint; // U+FFFD for an ill-formed sequence
    std::size_t length; // bytes taken: the sequence, or its maximal ill-formed part
    bool wellFormed;
};

unsigned char byteAt(std::string_view text, std::size_t pos)
{
    return static_cast<unsigned char>(text[pos]);
}

// Length of the line separator that starts at `pos`, or 0. The separators
// are LF, VT, FF, CR, NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR; CR LF
// counts as two, which gives the same lines since empty ones are dropped.
std::size_t separatorLengthAt(std::string_view text, std::size_t pos)
{
    unsigned char first = byteAt(text, pos);
    if (first >= 0x0A && first <= 0x0D)
        return 1;
    if (first == 0xC2)
        return pos + 1 < text.size() && byteAt(text, pos + 1) == 0x85 ? 2 : 0;
    if (first == 0xE2 && pos + 2 < text.size() && byteAt(text, pos + 1) == 0x80) {
        unsigned char last = byteAt(text, pos + 2);
        return last == 0xA8 || last == 0xA9 ? 3 : 0;
    }
    return 0;
}

// Length of a separator whose last byte is just before `end`, or 0.
std::size_t separatorLengthEndingAt(std::string_view text, std::size_t end)
{
    unsigned char last = byteAt(text, end - 1);
    if (last >= 0x0A && last <= 0x0D)
        return 1;
    if (last == 0x85 && end >= 2 && byteAt(text, end - 2) == 0xC2)
        return 2;
    if ((last == 0xA8 || last == 0xA9) && end >= 3 && byteAt(text, end - 2) == 0x80 && byteAt(text, end - 3) == 0xE2)
        return 3;
    return 0;
}

std::size_t lineStartBefore(std::string_view text, std::size_t end)
{
    while (end > 0 && separatorLengthEndingAt(text, end) == 0)
        --end;
    return end;
}

std::size_t lineEndFrom(std::string_view text, std::size_t pos)
{
    while (pos < text.size() && separatorLengthAt(text, pos) == 0)
        ++pos;
    return pos;
}

// Blocks of decimal digits (general category Nd) as first and last code
// point. Each block is one script's ten digits, or several in a row.
constexpr std::array<std::pair<char32_t, char32_t>, 64> kDecimalDigits = {{
    {0x0030, 0x0039},   {0x0660, 0x0669},   {0x06F0, 0x06F9},   {0x07C0, 0x07C9},   {0x0966, 0x096F},
    {0x09E6, 0x09EF},   {0x0A66, 0x0A6F},   {0x0AE6, 0x0AEF},   {0x0B66, 0x0B6F},   {0x0BE6, 0x0BEF},
    {0x0C66, 0x0C6F},   {0x0CE6, 0x0CEF},   {0x0D66, 0x0D6F},   {0x0DE6, 0x0DEF},   {0x0E50, 0x0E59},
    {0x0ED0, 0x0ED9},   {0x0F20, 0x0F29},   {0x1040, 0x1049},   {0x1090, 0x1099},   {0x17E0, 0x17E9},
    {0x1810, 0x1819},   {0x1946, 0x194F},   {0x19D0, 0x19D9},   {0x1A80, 0x1A89},   {0x1A90, 0x1A99},
    {0x1B50, 0x1B59},   {0x1BB0, 0x1BB9},   {0x1C40, 0x1C49},   {0x1C50, 0x1C59},   {0xA620, 0xA629},
    {0xA8D0, 0xA8D9},   {0xA900, 0xA909},   {0xA9D0, 0xA9D9},   {0xA9F0, 0xA9F9},   {0xAA50, 0xAA59},
    {0xABF0, 0xABF9},   {0xFF10, 0xFF19},   {0x104A0, 0x104A9}, {0x10D30, 0x10D39}, {0x11066, 0x1106F},
    {0x110F0, 0x110F9}, {0x11136, 0x1113F}, {0x111D0, 0x111D9}, {0x112F0, 0x112F9}, {0x11450, 0x11459},
    {0x114D0, 0x114D9}, {0x11650, 0x11659}, {0x116C0, 0x116C9}, {0x11730, 0x11739}, {0x118E0, 0x118E9},
    {0x11950, 0x11959}, {0x11C50, 0x11C59}, {0x11D50, 0x11D59}, {0x11DA0, 0x11DA9}, {0x11F50, 0x11F59},
    {0x16A60, 0x16A69}, {0x16AC0, 0x16AC9}, {0x16B50, 0x16B59}, {0x1D7CE, 0x1D7FF}, {0x1E140, 0x1E149},
    {0x1E2F0, 0x1E2F9}, {0x1E4F0, 0x1E4F9}, {0x1E950, 0x1E959}, {0x1FBF0, 0x1FBF9},
}};

// The character at `pos` (which must be inside the text).
DecodedCharacter decodeCharacterAt(std::string_view bytes, std::size_t pos)
{
    unsigned char lead = byteAt(bytes, pos);
    if (lead < 0x80)
        return {lead, 1, true};

    // The well-formed sequences, by lead byte: how many continuation bytes
    // follow and the range the first of them must fall in (the others are
    // 80..BF). An ill-formed sequence ends at the first byte that does not
    // fit, and that maximal part becomes one replacement character.
    std::size_t count;
    unsigned char low = 0x80, high = 0xBF;
    char32_t c;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 1, c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 2, c = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0; // overlong
        if (lead == 0xED)
            high = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 3, c = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90; // overlong
        if (lead == 0xF4)
            high = 0x8F; // above U+10FFFF
    } else {
        return {kReplacementCharacter, 1, false};
    }

    std::size_t length = 1;
    for (; length <= count; ++length) {
        if (pos + length >= bytes.size())
            return {kReplacementCharacter, length, false};
        unsigned char next = byteAt(bytes, pos + length);
        if (next < low || next > high)
            return {kReplacementCharacter, length, false};
        c = (c << 6) | (next & 0x3F);
        low = 0x80, high = 0xBF;
    }
    return {c, length, true};
}

} // namespace

std::string decodeUtf8(std::string_view bytes)
{
    constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    std::size_t run = 0; // start of the well-formed text not yet copied
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        if (byteAt(bytes, pos) < 0x80) {
            ++pos;
            continue;
        }
        DecodedCharacter d = decodeCharacterAt(bytes, pos);
        if (!d.wellFormed) {
            text.append(bytes.substr(run, pos - run));
            text.append(kReplacementUtf8);
            run = pos + d.length;
        }
        pos += d.length;
    }
    text.append(bytes.substr(run));
    return text;
}

bool isDecimalDigit(char32_t c)
{
    auto block = std::upper_bound(kDecimalDigits.begin(), kDecimalDigits.end(), c,
                                  [](char32_t value, const auto& range) { return value < range.first; });
    return block != kDecimalDigits.begin() && c <= std::prev(block)->second;
}

std::size_t lastLines(std::string_view text, std::span<std::string_view> lines)
{
    std::size_t count = 0;
    std::size_t end = text.size();
    while (count < lines.size() && end > 0) {
        if (std::size_t length = separatorLengthEndingAt(text, end)) {
            end -= length;
            continue;
        }
        std::size_t start = lineStartBefore(text, end);
        lines[count++] = text.substr(start, end - start);
        end = start;
    }
    std::reverse(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

std::size_t firstLineEnd(std::string_view text)
{
    return lineEndFrom(text, 0);
}

std::size_t lastLineStart(std::string_view text)
{
    return lineStartBefore(text, text.size());
}

SeparatorAcross separatorAcross(std::string_view before, std::string_view after)
{
    // The separator's first bytes are the end of `before`; so at most its
    // last two bytes there, and at most two bytes of `after`.
    for (std::size_t inBefore = 1; inBefore <= 2 && inBefore <= before.size(); ++inBefore) {
        char joined[4] = {};
        std::size_t count = before.copy(joined, inBefore, before.size() - inBefore);
        count += after.copy(joined + count, 3 - count);
        std::size_t length = count ? separatorLengthAt(std::string_view(joined, count), 0) : 0;
        if (length > inBefore)
            return {inBefore, length - inBefore};
    }
    return {};
}

std::size_t pieceEnd(std::string_view line, std::size_t limit)
{
    auto continuation = [&](std::size_t pos) { return (byteAt(line, pos) & 0xC0) == 0x80; };
    std::size_t cut = limit;
    while (cut > limit - 3 && continuation(cut))
        --cut;
    if (byteAt(line, cut) < 0xC0) // a stray continuation byte: no character to keep whole
        cut = limit;

    // Back over the digits that end the piece, then over the word and its
    // space before them, or whatever part of the word ends the piece. Not
    // over more than 64 digits: a number that converts has 19 at most,
    // zeros before it aside, and a line of digits alone would cost a look
    // at each of them.
    constexpr int kMostDigits = 64;
    std::size_t start = cut;
    for (int digits = 0; digits < kMostDigits; ++digits) {
        std::size_t lead = start;
        while (lead > 0 && start - lead < 3 && continuation(lead - 1))
            --lead;
        if (lead == 0)
            break;
        DecodedCharacter d = decodeCharacterAt(line, --lead);
        if (!d.wellFormed || lead + d.length != start || !isDecimalDigit(d.codePoint))
            break;
        start = lead;
    }
    for (std::size_t length = kAnnouncementWord.size(); length > 0; --length) {
        if (start != cut && length < kAnnouncementWord.size())
            break; // digits after less than the whole word are no announcement
        if (line.substr(0, start).ends_with(kAnnouncementWord.substr(0, length)))
            return start - length > 0 ? start - length : limit; // alone in its piece, it is cut anyway
    }
    return cut;
}

std::optional<Announcement> findAnnouncement(std::string_view text)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        const void* hit = memmem(text.data() + pos, text.size() - pos, kAnnouncementWord.data(), kAnnouncementWord.size());
        if (!hit)
            return std::nullopt;
        std::size_t word = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        std::size_t digits = word + kAnnouncementWord.size();

        // The pattern's digits are any decimal digits; only ASCII ones convert.
        // A run that does not convert still is the line's leftmost match.
        std::size_t end = digits;
        bool ascii = true;
        std::int64_t value = 0;
        while (end < text.size()) {
            DecodedCharacter d = decodeCharacterAt(text, end);
            if (!isDecimalDigit(d.codePoint))
                break;
            if (d.codePoint > U'9') {
                ascii = false;
            } else if (ascii) {
                int digit = static_cast<int>(d.codePoint - U'0');
                if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10)
                    ascii = false; // too large: treated like any digit that does not convert
                else
                    value = value * 10 + digit;
            }
            end += d.length;
        }
        if (end == digits) { // the word without digits is no match
            pos = digits;
            continue;
        }
        std::size_t lineEnd = lineEndFrom(text, end);
        if (ascii) {
            std::size_t lineStart = lineStartBefore(text, word);
            return Announcement{text.substr(lineStart, lineEnd - lineStart), value};
        }
        pos = lineEnd; // only the leftmost match of a line counts
    }
    return std::nullopt;
}

} // namespace quillary
