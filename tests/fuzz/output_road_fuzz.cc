// The output road under libFuzzer, against itself: the server's reads go
// through the reader thread's hand-off (PendingOutput), taken at arbitrary
// points, into consume; and each read is decoded and consumed at once, as if
// there were no hand-off. The hand-off keeps only what can still matter and
// decides on raw bytes, so both must end with the same tail and port, and
// it must ask for a main-thread step exactly with the read that brings the
// port. What consume and decodeUtf8 make of a text is pinned by the unit
// tests.
//
// The input is the server's output with the reads marked in it:
//   0xFE  ends a read;
//   0xFD  ends a read, then the main thread takes what is pending;
//   the end of the input ends the last read, and the main thread takes.
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

void check(bool holds, const char* what, int reads)
{
    if (holds)
        return;
    std::fprintf(stderr, "\n*** output road, after read %d: %s\n", reads, what);
    std::abort(); // libFuzzer keeps the input as the reproducer
}

void run(std::string_view input)
{
    NoPlatform platform;
    auto handedOff = AppDelegate::create(platform);
    auto direct = AppDelegate::create(platform);
    PendingOutput pending;
    int reads = 0;

    auto take = [&] {
        std::string text = pending.take();
        // Never more waits than the tail and the announcement line.
        check(std::count(text.begin(), text.end(), '\n') <= static_cast<std::ptrdiff_t>(kTailLines),
              "more than thirteen lines pending", reads);
        AppDelegateProbe::consume(*handedOff, text);
        check(AppDelegateProbe::tail(*handedOff) == AppDelegateProbe::tail(*direct), "the tails differ", reads);
        check(AppDelegateProbe::port(*handedOff) == AppDelegateProbe::port(*direct), "the ports differ", reads);
    };

    for (std::size_t start = 0; start <= input.size();) {
        ++reads;
        std::size_t end = std::min(input.find_first_of("\xFE\xFD", start), input.size());
        std::string_view read = input.substr(start, end - start);
        bool portKnown = AppDelegateProbe::port(*direct).has_value();
        AppDelegateProbe::consume(*direct, decodeUtf8(read));
        bool bringsPort = !portKnown && AppDelegateProbe::port(*direct);
        check(pending.add(read) == bringsPort, "a step asked for other than with the port", reads);
        if (end < input.size() && input[end] == '\xFD')
            take();
        start = end + 1;
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
