// What the output road makes of the server's output, read by read: the
// lines of the tail, the port, the decoded text. Each read goes through the
// reader thread's hand-off as in the launcher: the main thread takes what
// waits once the port is announced, and once the output has ended. The fuzz
// target checks that the hand-off ends as consuming the whole output would,
// however the reads are taken.
#include "server/output_text.hh"
#include "server/pending_output.hh"
#include "tests/controller_alone.hh"

#include <glib.h>
#include <gtest/gtest.h>

namespace quillary {
namespace {

using Lines = std::deque<std::string>; // as the tail keeps them
const std::string R = "\xef\xbf\xbd"; // U+FFFD

struct Fed {
    Lines tail;
    std::optional<std::int64_t> port;
};

Fed feed(const Lines& reads)
{
    NoPlatform platform;
    auto delegate = AppDelegate::create(platform);
    PendingOutput pending;
    for (const std::string& read : reads) {
        if (pending.add(read))
            AppDelegateProbe::consume(*delegate, pending.take());
    }
    pending.add(""); // the end of the output
    AppDelegateProbe::consume(*delegate, pending.take());
    return {AppDelegateProbe::tail(*delegate), AppDelegateProbe::port(*delegate)};
}

// Two more lines than the tail holds; the last twelve.
const std::string fourteen = "L1\r\nL2\r\nL3\r\nL4\r\nL5\r\nL6\r\nL7\r\nL8\r\nL9\r\nL10\r\nL11\r\nL12\r\nL13\r\nL14\r\n";
const Lines lastTwelve = {"L3", "L4", "L5", "L6", "L7", "L8", "L9", "L10", "L11", "L12", "L13", "L14"};

TEST(OutputRoad, KeepsTheLastTwelveLinesCutOnTheSevenSeparators)
{
    const struct {
        const char* name;
        Lines reads, tail;
    } cases[] = {
        {"each separator; empty lines dropped", {"a\n\nb\r\nc\x0b" "d\x0c" "e\rf\xc2\x85g\xe2\x80\xa8h\xe2\x80\xa9i\n"},
         {"a", "b", "c", "d", "e", "f", "g", "h", "i"}},
        {"tab, NUL, 1C-1E and a lone 85 are no separators", {std::string("a\tb\0c\x1c\x1d\x1e\x85" "d", 10)},
         {std::string("a\tb\0c\x1c\x1d\x1e", 8) + R + "d"}},
        {"nothing trimmed", {"  a\t \n\t\n"}, {"  a\t ", "\t"}},
        {"lines after the port slide through", {"порт 80\n" + fourteen}, lastTwelve},
        {"no separator across reads", {"a\xe2", "\x80" "b"}, {"a" + R + "b"}},
    };
    for (const auto& [name, reads, tail] : cases)
        EXPECT_EQ(feed(reads).tail, tail) << name;
}

TEST(OutputRoad, LearnsThePortFromTheFirstConvertibleAnnouncement)
{
    const struct {
        const char* name;
        Lines reads;
        std::optional<std::int64_t> port;
    } cases[] = {
        {"the first wins", {"Quillary: веб-интерфейс слушает порт 80\nпорт 443\n", "порт 8443\n"}, 80},
        {"zeros, no range check", {"порт 070000"}, 70000},
        {"largest 64-bit value", {"порт 9223372036854775807"}, INT64_MAX},
        {"one past it is no port, a later line is", {"порт 9223372036854775808\nпорт 81"}, 81},
        {"near misses", {"Порт 1\nпорт  2\nпорт\t3\nпорт:4\nпорт, а затем порт 5"}, 5},
        {"inside a word, then letters", {"аэропорт 12abc"}, 12},
        {"only the leftmost match of a line", {"порт 99999999999999999999 порт 80"}, std::nullopt},
        {"other digits match but do not convert", {"порт 8\xd9\xa0 порт 80\nпорт \xef\xbc\x98"}, std::nullopt},
        {"... nor hide a later line", {"порт \xd9\xa8\xd9\xa0\nпорт 80"}, 80},
        {"at the end of the output", {"порт 80", "80"}, 8080},
        {"invalid byte before or inside the digits", {"порт \xff" "80\nпорт 8\xff" "0"}, 8},
        {"announcement pushed out of the tail", {"порт 5\n" + fourteen, fourteen}, 5},
    };
    for (const auto& [name, reads, port] : cases)
        EXPECT_EQ(feed(reads).port, port) << name;
}

// However the reads cut the output, the lines and the port are the
// server's: every cut of a sample into two reads, and a line longer than the
// road carries, cut at every place near its bound, in the 4 KiB writes of a
// block-buffered standard output.
TEST(OutputRoad, LinesAndPortDoNotDependOnTheReads)
{
    const std::string sample = "a\n\r\nпорт\xc2\x85 д\xe2\x80\xa8слушает порт 41823\xe2\x80\xa9\xff Б\n";
    const Fed whole = feed({sample});
    ASSERT_EQ(whole.port, 41823);
    for (std::size_t cut = 1; cut < sample.size(); ++cut) {
        const Fed two = feed({sample.substr(0, cut), sample.substr(cut)});
        EXPECT_TRUE(two.tail == whole.tail && two.port == whole.port) << "cut at " << cut;
    }
    const std::size_t limit = PendingOutput::kLongestLine;
    auto blocks = [](const std::string& text) {
        Lines reads;
        for (std::size_t at = 0; at < text.size(); at += 4096)
            reads.push_back(text.substr(at, 4096));
        return reads;
    };
    for (std::size_t before = limit - 27; before <= limit; ++before) { // the bound inside each byte of the line's end
        const std::string line = "д" + std::string(before - 2, 'x') + "слушает порт 8080";
        const Fed fed = feed(blocks(line + "\nпорт 1\n"));
        EXPECT_EQ(fed.port, 8080) << "announcement after " << before << " bytes";
        EXPECT_TRUE(fed.tail.size() == 3 && fed.tail[0].size() <= limit && fed.tail[0] + fed.tail[1] == line)
            << "cut in two, no letter split, after " << before << " bytes";
    }
    EXPECT_EQ(feed(blocks(std::string(2 * limit + 1, 'x'))).tail,
              Lines({std::string(limit, 'x'), std::string(limit, 'x'), "x"}));
}

TEST(OutputRoad, DecodesEachMaximalIllFormedPartToOneReplacement)
{
    const std::pair<std::string, std::string> cases[] = {
        {"\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64", "a" + R + R + R + "b" + R + "c" + R + R + "d"},
        {"\x80\xa8z\xe2\x80", R + R + "z" + R},
        {"\xc0\xaf\xe0\x80\xaf", R + R + R + R + R},
        {"\xed\xa0\x80\xed\x9f\xbf", R + R + R + "\xed\x9f\xbf"},
        {"\xf4\x90\x80\x80\xf4\x8f\xbf\xbf", R + R + R + R + "\xf4\x8f\xbf\xbf"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(decodeUtf8(bytes), text) << "bytes: " << ::testing::PrintToString(bytes);
}

TEST(OutputRoad, DecimalDigitsAreExactlyThoseOfGLib)
{
    for (char32_t c = 0; c <= 0x10FFFF; ++c)
        ASSERT_EQ(isDecimalDigit(c), static_cast<bool>(g_unichar_isdigit(c))) << "U+" << std::hex << +c;
}

} // namespace
} // namespace quillary
