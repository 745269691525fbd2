// The output road: decoding, cutting into lines, the tail and the port, and
// the hand-off from the reader thread that keeps only what can matter.
#include "server/output_text.hh"
#include "server/pending_output.hh"
#include "tests/app_delegate_probe.hh"
#include "tests/recording_platform.hh"

#include <glib.h>
#include <gtest/gtest.h>


namespace quillary {
namespace {

using Lines = std::vector<std::string>;

struct Road {
    testing::RecordingPlatform platform;
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(platform);

    Lines tail() const
    {
        const auto& t = AppDelegateProbe::tail(*delegate);
        return {t.begin(), t.end()};
    }
    std::optional<std::int64_t> port() const { return AppDelegateProbe::port(*delegate); }
};

// Feeds raw reads through the reader's hand-off to consume, as the launcher
// does: either one main-thread step per read, or one step for them all, as
// when the main thread was busy meanwhile. Both must end the same.
enum class Steps { perRead, coalesced };

struct Outcome {
    Lines tail;
    std::optional<std::int64_t> port;
};

Outcome feed(const Lines& reads, Steps steps)
{
    Road road;
    PendingOutput pending;
    for (const std::string& read : reads) {
        pending.add(read);
        if (steps == Steps::perRead)
            AppDelegateProbe::consume(*road.delegate, pending.take());
    }
    AppDelegateProbe::consume(*road.delegate, pending.take());
    return {road.tail(), road.port()};
}

Lines numbered(int from, int to)
{
    Lines lines;
    for (int i = from; i <= to; ++i)
        lines.push_back("L" + std::to_string(i));
    return lines;
}

TEST(OutputRoad, CutsLinesOnTheSevenSeparatorsAndKeepsTheLastTwelve)
{
    struct Case {
        const char* name;
        Lines reads;
        Lines tail;
    };
    std::string all14, lf = "\n";
    Lines split14;
    for (int i = 1; i <= 14; ++i) {
        all14 += "L" + std::to_string(i) + "\n";
        split14.push_back("L" + std::to_string(i) + (i % 3 ? "\n" : "\r\n"));
    }
    const Case cases[] = {
        {"empty lines dropped, CR LF one end", {"a\n\nb\r\n"}, {"a", "b"}},
        {"separators only", {"\n\r\n\x0b\x0c"}, {}},
        {"empty read", {""}, {}},
        {"line tabulation", {"a\x0b" "b"}, {"a", "b"}},
        {"form feed", {"a\x0c" "b"}, {"a", "b"}},
        {"carriage return alone", {"a\rb"}, {"a", "b"}},
        {"next line", {"a\xc2\x85" "b"}, {"a", "b"}},
        {"line separator", {"a\xe2\x80\xa8" "b"}, {"a", "b"}},
        {"paragraph separator", {"a\xe2\x80\xa9" "b"}, {"a", "b"}},
        {"tab, NUL, 1C-1E stay inside",
         {std::string("a\tb\0c\x1c\x1d\x1e" "d", 9)},
         {std::string("a\tb\0c\x1c\x1d\x1e" "d", 9)}},
        {"a lone 0x85 byte is no separator", {"a\x85" "b"}, {"a\xef\xbf\xbd" "b"}},
        {"nothing trimmed", {"  a\t \n\t\n"}, {"  a\t ", "\t"}},
        {"fourteen lines in one read", {all14}, numbered(3, 14)},
        {"fourteen lines over reads", split14, numbered(3, 14)},
        {"lines are never joined across reads", {"hel", "lo\n", "wor", "ld"}, {"hel", "lo", "wor", "ld"}},
        {"a line cut by a read is two entries", {"порт 8", "0\n"}, {"порт 8", "0"}},
        {"invalid bytes become U+FFFD", {"a\xff" "b\n"}, {"a\xef\xbf\xbd" "b"}},
        {"a letter cut by a read", {"д\xd0", "\xb0" "да"}, {"д\xef\xbf\xbd", "\xef\xbf\xbd" "да"}},
        {"lines after the port still slide through",
         {"порт 80\n" + all14},
         numbered(3, 14)},
    };
    for (const Case& c : cases) {
        for (Steps steps : {Steps::perRead, Steps::coalesced}) {
            SCOPED_TRACE(std::string(c.name) + (steps == Steps::perRead ? ", one step per read" : ", coalesced"));
            EXPECT_EQ(feed(c.reads, steps).tail, c.tail);
        }
    }
}

TEST(OutputRoad, LearnsThePortFromTheFirstConvertibleAnnouncement)
{
    struct Case {
        const char* name;
        Lines reads;
        std::optional<std::int64_t> port;
    };
    const Case cases[] = {
        {"plain", {"Quillary: веб-интерфейс слушает порт 80\n"}, 80},
        {"the first wins in one read", {"порт 80\nпорт 443\n"}, 80},
        {"the first wins across reads", {"порт 80\n", "порт 443\n"}, 80},
        {"leading zeros", {"порт 080"}, 80},
        {"zero", {"порт 0"}, 0},
        {"no range check", {"порт 70000"}, 70000},
        {"largest 64-bit value", {"порт 9223372036854775807"}, INT64_MAX},
        {"capital letter", {"Порт 80"}, std::nullopt},
        {"two spaces", {"порт  80"}, std::nullopt},
        {"tab", {"порт\t80"}, std::nullopt},
        {"colon", {"порт:80"}, std::nullopt},
        {"no digits", {"порт \n"}, std::nullopt},
        {"inside a longer word", {"аэропорт 12"}, 12},
        {"digits then punctuation", {"порт 80,"}, 80},
        {"digits then letters", {"порт 80abc"}, 80},
        {"overflow, then a later line", {"порт 99999999999999999999\nпорт 81\n"}, 81},
        {"one past the largest", {"порт 9223372036854775808"}, std::nullopt},
        {"only the leftmost match of a line", {"порт 99999999999999999999 порт 80"}, std::nullopt},
        {"the word without digits is no match", {"порт, а затем порт 81"}, 81},
        {"Arabic-Indic digits match but do not convert", {"порт \xd9\xa8\xd9\xa0"}, std::nullopt},
        {"... and hide a later match on the line", {"порт \xd9\xa8\xd9\xa0 порт 80"}, std::nullopt},
        {"... but not one on a later line", {"порт \xd9\xa8\xd9\xa0\nпорт 80"}, 80},
        {"mixed scripts in one run", {"порт 8\xd9\xa0"}, std::nullopt},
        {"fullwidth digits", {"порт \xef\xbc\x98\xef\xbc\x90"}, std::nullopt},
        {"cut inside the word", {"пор", "т 80\n"}, std::nullopt},
        {"cut inside a letter", {"по\xd1", "\x80т 80\n"}, std::nullopt},
        {"cut inside the digits", {"порт 80", "80\n"}, 80},
        {"invalid byte before the digits", {"порт \xff" "80"}, std::nullopt},
        {"invalid byte inside the digits", {"порт 8\xff" "0"}, 8},
        {"announcement before a flood", {"порт 5\n" + std::string(20000, 'x') + "\n" + std::string(30, '\n')}, 5},
    };
    for (const Case& c : cases) {
        for (Steps steps : {Steps::perRead, Steps::coalesced}) {
            SCOPED_TRACE(std::string(c.name) + (steps == Steps::perRead ? ", one step per read" : ", coalesced"));
            EXPECT_EQ(feed(c.reads, steps).port, c.port);
        }
    }
}

TEST(OutputRoad, DecodesUtf8ReplacingEachMaximalIllFormedPart)
{
    const std::string R = "\xef\xbf\xbd";
    struct Case {
        const char* name;
        std::string bytes;
        std::string text;
    };
    const Case cases[] = {
        {"ASCII and Cyrillic", "abc порт", "abc порт"},
        {"four-byte character", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {"a replacement character in the input stays one", R, R},
        {"the Unicode standard's example",
         "\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64",
         "a" + R + R + R + "b" + R + "c" + R + R + "d"},
        {"cut at the end", "ab\xe2\x80", "ab" + R},
        {"cut at the start", "\x80\xa8z", R + R + "z"},
        {"overlong", "\xc0\xaf", R + R},
        {"overlong three bytes", "\xe0\x80\xaf", R + R + R},
        {"surrogate", "\xed\xa0\x80", R + R + R},
        {"above U+10FFFF", "\xf4\x90\x80\x80", R + R + R + R},
        {"not a lead byte", "\xf8\x88\x80\x80\x80", R + R + R + R + R},
        {"NUL is text", std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeUtf8(c.bytes), c.text);
    }
}

TEST(OutputRoad, DecimalDigitsAreExactlyThoseOfGLib)
{
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        ASSERT_EQ(isDecimalDigit(c), static_cast<bool>(g_unichar_isdigit(c))) << "U+" << std::hex << static_cast<std::uint32_t>(c);
    }
}

} // namespace
} // namespace quillary
