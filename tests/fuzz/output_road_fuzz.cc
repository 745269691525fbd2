// The output road under libFuzzer: raw reads through the reader thread's
// hand-off (PendingOutput) into consume, checked against a plain model of
// the road written apart from the code it checks; and decodeUtf8 alone
// against the model's decoder.
//
// The input is the server's output with the reads marked in it:
//   0xFE  ends a read;
//   0xFD  ends a read, then the main thread takes what is pending;
//   the end of the input ends the last read, and the main thread takes.
// Those two bytes never reach a read, and nothing is lost by that: like
// 0xFF they are neither a lead nor a continuation byte of UTF-8, nor part of
// a separator or of the announcement, so 0xFF and 0xF8..0xFC stand for them.
// (decodeUtf8 also sees the whole input, marks included.)
//
// The model decodes each read into code points by itself, cuts lines on the
// seven separators, keeps twelve, and looks for the leftmost announcement
// in each line while no port is known. Which code points are decimal digits
// it takes from isDecimalDigit: that table is checked against GLib for every
// code point by the unit tests, which no fuzzing can match, and a second
// copy here could only drift from it with the next Unicode version. The
// rules that use the digits (matching, converting, the leftmost match of a
// line, reads cut anywhere) are the model's own.
#include "server/output_text.hh"
#include "server/pending_output.hh"
#include "tests/app_delegate_probe.hh"
#include "tests/no_platform.hh"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillary {
namespace {

constexpr unsigned char kEndOfRead = 0xFE;
constexpr unsigned char kEndOfReadThenTake = 0xFD;

// What the road keeps, and what may wait for the main thread at most.
constexpr std::size_t kModelTailLines = 12;
constexpr std::size_t kMostPendingLines = kModelTailLines + 1;

// ---------------------------------------------------------------------------
// The model.

// UTF-8 by value rather than by byte ranges: a sequence of n bytes (a lead
// 110xxxxx, 1110xxxx or 11110xxx, then 10xxxxxx ones) is well-formed when
// its code point lies in the range for n and is no surrogate. A start of a
// sequence is worth keeping together when some well-formed sequence begins
// with it; each ill-formed part is the longest such start, or a single
// byte, and becomes one U+FFFD.
constexpr char32_t kLowest[5] = {0, 0, 0x80, 0x800, 0x10000};
constexpr char32_t kHighest[5] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};

// Whether the first `have` of `length` bytes, carrying the bits `bits`,
// still leave a well-formed code point to complete.
bool canComplete(int length, int have, char32_t bits)
{
    int missing = 6 * (length - have);
    char32_t low = std::max<char32_t>(bits << missing, kLowest[length]);
    char32_t high = std::min<char32_t>(((bits + 1) << missing) - 1, kHighest[length]);
    if (low > high)
        return false;
    return !(low >= 0xD800 && high <= 0xDFFF);
}

// Calls `visit` with each code point of the bytes, U+FFFD for each
// ill-formed part; true when there was none.
template <class Visit>
bool forEachCodePoint(std::string_view bytes, Visit&& visit)
{
    bool wellFormed = true;
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            visit(char32_t{lead});
            ++i;
            continue;
        }
        int length = 0;
        char32_t bits = 0;
        if ((lead & 0xE0) == 0xC0)
            length = 2, bits = lead & 0x1F;
        else if ((lead & 0xF0) == 0xE0)
            length = 3, bits = lead & 0x0F;
        else if ((lead & 0xF8) == 0xF0)
            length = 4, bits = lead & 0x07;
        int have = 1;
        if (length > 0 && canComplete(length, 1, bits)) {
            while (have < length && i + static_cast<std::size_t>(have) < bytes.size()) {
                auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(have)]);
                char32_t more = (bits << 6) | (next & 0x3F);
                if ((next & 0xC0) != 0x80 || !canComplete(length, have + 1, more))
                    break;
                bits = more;
                ++have;
            }
            if (have == length) {
                visit(bits);
                i += static_cast<std::size_t>(length);
                continue;
            }
        }
        visit(U'\uFFFD');
        wellFormed = false;
        i += static_cast<std::size_t>(have);
    }
    return wellFormed;
}

void append(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The bytes as the road should decode them, in UTF-8 again.
std::string decoded(std::string_view bytes)
{
    std::string out;
    forEachCodePoint(bytes, [&](char32_t c) { append(out, c); });
    return out;
}

bool isSeparator(char32_t c)
{
    return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Calls `visit` with each non-empty line of the bytes as code points,
// untrimmed; true when the bytes were well-formed.
template <class Visit>
bool forEachLineOf(std::string_view bytes, Visit&& visit)
{
    std::u32string line;
    bool wellFormed = forEachCodePoint(bytes, [&](char32_t c) {
        if (!isSeparator(c)) {
            line += c;
        } else if (!line.empty()) {
            visit(line);
            line.clear();
        }
    });
    if (!line.empty())
        visit(line);
    return wellFormed;
}

// The digits of the announcement as a signed 64-bit number: ASCII only,
// leading zeros fine, at most 9223372036854775807.
std::optional<std::int64_t> convert(std::u32string_view digits)
{
    std::string ascii;
    for (char32_t c : digits) {
        if (c < U'0' || c > U'9')
            return std::nullopt;
        if (!ascii.empty() || c != U'0')
            ascii += static_cast<char>(c);
    }
    const std::string largest = "9223372036854775807";
    if (ascii.size() > largest.size() || (ascii.size() == largest.size() && ascii > largest))
        return std::nullopt;
    std::int64_t value = 0;
    for (char c : ascii)
        value = value * 10 + (c - '0');
    return value;
}

// The regular expression "порт (\d+)", leftmost match, greedy digits; the
// line's answer is that match's number or nothing, whatever follows it.
std::optional<std::int64_t> announcedPort(const std::u32string& line)
{
    const std::u32string word = U"порт ";
    for (std::size_t at = 0; at + word.size() < line.size(); ++at) {
        if (line.compare(at, word.size(), word) != 0)
            continue;
        std::size_t first = at + word.size();
        std::size_t end = first;
        while (end < line.size() && isDecimalDigit(line[end]))
            ++end;
        if (end > first)
            return convert(std::u32string_view(line).substr(first, end - first));
    }
    return std::nullopt;
}

struct ModelRoad {
    std::deque<std::string> tail; // in UTF-8, as the controller keeps it
    std::optional<std::int64_t> port;

    // One read, decoded on its own.
    void read(std::string_view bytes)
    {
        forEachLineOf(bytes, [&](const std::u32string& line) {
            if (!port)
                port = announcedPort(line);
            std::string utf8;
            for (char32_t c : line)
                append(utf8, c);
            tail.push_back(std::move(utf8));
            if (tail.size() > kModelTailLines)
                tail.pop_front();
        });
    }
};

// ---------------------------------------------------------------------------
// Reporting a difference: enough to see what went wrong, then a crash that
// libFuzzer saves as the reproducer.

std::string escaped(std::string_view bytes)
{
    std::string out = "\"";
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out + "\"";
}

std::string describe(const std::deque<std::string>& lines)
{
    std::string out = "[";
    for (const std::string& line : lines)
        out += (out.size() > 1 ? ", " : "") + escaped(line);
    return out + "]";
}

std::string describe(std::optional<std::int64_t> port)
{
    return port ? std::to_string(*port) : "none";
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "\n*** output road: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------------------
// The checks.

void checkDecoder(std::string_view bytes, const std::string& actual, const char* where)
{
    std::string expected = decoded(bytes);
    if (actual != expected)
        fail(std::string("decodeUtf8 of ") + where + " " + escaped(bytes) + " gave " + escaped(actual) +
             ", the model " + escaped(expected));
}

// Where in the input a check runs; spelt out only when it fails.
struct When {
    const char* what;
    int reads;
    int takes;

    std::string text() const
    {
        return std::string(what) + " after read " + std::to_string(reads) + " (take " + std::to_string(takes) + ")";
    }
};

// The controller's state against the model's after the same reads.
void checkAgainstModel(const AppDelegate& delegate, const ModelRoad& model, When when)
{
    const std::deque<std::string>& tail = AppDelegateProbe::tail(delegate);
    if (tail != model.tail)
        fail(when.text() + ": tail " + describe(tail) + ", the model's " + describe(model.tail));
    if (AppDelegateProbe::port(delegate) != model.port)
        fail(when.text() + ": port " + describe(AppDelegateProbe::port(delegate)) + ", the model's " + describe(model.port));
}

// Each tail entry checked on its own, not only as equal to the model's.
void checkTailLines(const AppDelegate& delegate, When when)
{
    for (const std::string& line : AppDelegateProbe::tail(delegate)) {
        bool separator = false;
        bool wellFormed = forEachCodePoint(line, [&](char32_t c) { separator = separator || isSeparator(c); });
        if (!wellFormed || separator || line.empty())
            fail(when.text() + ": tail entry " + escaped(line) + " is empty, ill-formed or holds a separator");
    }
}

// What the main thread takes: well-formed text of at most thirteen lines,
// none longer than the longest decoded read it came from.
void checkTaken(const std::string& text, std::size_t longestRead, When when)
{
    std::size_t lines = 0;
    std::size_t longestLine = 0;
    bool wellFormed = forEachLineOf(text, [&](const std::u32string& line) {
        ++lines;
        std::string utf8;
        for (char32_t c : line)
            append(utf8, c);
        longestLine = std::max(longestLine, utf8.size());
    });
    if (!wellFormed)
        fail(when.text() + ": the taken text " + escaped(text) + " is not well-formed");
    if (lines > kMostPendingLines)
        fail(when.text() + ": the taken text holds " + std::to_string(lines) + " lines: " + escaped(text));
    if (longestLine > longestRead)
        fail(when.text() + ": a taken line is longer than any read since the last take: " + escaped(text));
}

void run(std::string_view input)
{
    checkDecoder(input, decodeUtf8(input), "the whole input");

    NoPlatform platform;
    ModelRoad model;
    // One controller fed as the launcher feeds it, through the hand-off, and
    // one fed each decoded read directly: a difference in the first only
    // points at PendingOutput, in both at consume.
    auto handedOff = std::make_shared<AppDelegate>(platform);
    auto direct = std::make_shared<AppDelegate>(platform);
    PendingOutput pending;

    // Since the last take: the longest read as text.
    std::size_t longestRead = 0;
    int reads = 0, takes = 0;

    auto take = [&] {
        ++takes;
        std::string text = pending.take();
        checkTaken(text, longestRead, {"take", reads, takes});
        AppDelegateProbe::consume(*handedOff, text);
        checkTailLines(*handedOff, {"consumed through PendingOutput", reads, takes});
        checkAgainstModel(*handedOff, model, {"consumed through PendingOutput", reads, takes});
        longestRead = 0;
    };

    std::size_t start = 0;
    for (std::size_t i = 0; i <= input.size(); ++i) {
        bool end = i == input.size();
        auto mark = end ? 0 : static_cast<unsigned char>(input[i]);
        if (!end && mark != kEndOfRead && mark != kEndOfReadThenTake)
            continue;
        std::string_view read = input.substr(start, i - start);
        start = i + 1;
        if (end && read.empty() && reads > 0)
            break; // the input ended with a mark
        ++reads;

        std::string text = decodeUtf8(read);
        checkDecoder(read, text, "a read");
        longestRead = std::max(longestRead, text.size());
        bool portKnown = model.port.has_value();
        model.read(read);
        AppDelegateProbe::consume(*direct, text);
        checkAgainstModel(*direct, model, {"consumed directly", reads, takes});
        // add asks for a main-thread step exactly for the read that brings
        // the port: without it the port would wait for the server's end.
        bool bringsPort = !portKnown && model.port.has_value();
        if (pending.add(read) != bringsPort)
            fail(When{"add", reads, takes}.text() + (bringsPort ? ": the port came without a step asked for"
                                                                : ": a step asked for without the port"));
        if (mark == kEndOfReadThenTake)
            take();
    }
    take();
}

} // namespace
} // namespace quillary

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quillary::run(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
