// The output road under libFuzzer, against itself: the server's reads go
// through the reader thread's hand-off (PendingOutput), taken at arbitrary
// points, into consume; and the whole output so far, up to its last line
// end, is decoded and consumed directly. Both must end with the same tail
// and port, and the hand-off must ask for a main-thread step exactly with
// the read that ends the port's line. What consume and decodeUtf8 make of a
// text, and lines longer than the hand-off carries, are the unit tests'.
//
// The input is the server's output with the reads marked in it:
//   0xFE  ends a read;
//   0xFD  ends a read, then the main thread takes what is pending;
//   the end of the input ends the last read and the output, and the main
//   thread takes.
// Those two bytes never reach a read, and nothing is lost by that: like
// 0xFF they are neither a lead nor a continuation byte of UTF-8, nor part of
// a separator or of the announcement, so 0xFF and 0xF8..0xFC stand for them.
#include "app/texts.hh"
#include "server/output_text.hh"
#include "server/pending_output.hh"
#include "tests/controller_alone.hh"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quillary {
namespace {

void check(bool holds, const char* what)
{
    if (holds)
        return;
    std::fprintf(stderr, "\n*** output road: %s\n", what);
    std::abort(); // libFuzzer keeps the input as the reproducer
}

void run(std::string_view input)
{
    NoPlatform platform;
    auto handedOff = AppDelegate::create(platform);
    auto direct = AppDelegate::create(platform);
    PendingOutput pending;

    auto take = [&] {
        std::string text = pending.take();
        // Never more waits than the tail and the announcement line.
        check(std::count(text.begin(), text.end(), '\n') <= static_cast<std::ptrdiff_t>(kTailLines),
              "more than thirteen lines pending");
        AppDelegateProbe::consume(*handedOff, text);
        check(AppDelegateProbe::tail(*handedOff) == AppDelegateProbe::tail(*direct), "the tails differ");
        check(AppDelegateProbe::port(*handedOff) == AppDelegateProbe::port(*direct), "the ports differ");
    };

    std::string output;       // every read so far
    std::size_t consumed = 0; // how much of it the direct road has consumed
    auto consumeDirectly = [&](std::size_t end) {
        bool portKnown = AppDelegateProbe::port(*direct).has_value();
        AppDelegateProbe::consume(*direct, decodeUtf8(output.substr(consumed, end - consumed)));
        consumed = end;
        return !portKnown && AppDelegateProbe::port(*direct);
    };
    for (std::size_t start = 0; start <= input.size();) {
        std::size_t end = std::min(input.find_first_of("\xFE\xFD", start), input.size());
        std::string_view read = input.substr(start, end - start);
        output += read;
        bool bringsPort = consumeDirectly(std::max(consumed, lastLineStart(output)));
        if (!read.empty()) // an empty read would be the end of the output
            check(pending.add(read) == bringsPort, "a step asked for other than with the port's line");
        if (end < input.size() && input[end] == '\xFD')
            take();
        start = end + 1;
    }
    check(pending.add("") == consumeDirectly(output.size()), "the end of the output: a step asked for or not");
    take();
}

} // namespace
} // namespace quillary

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quillary::run(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
