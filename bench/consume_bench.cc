// Throughput of the output road on 64 KiB reads of 100-byte log lines:
// consume on the main thread, and the reader thread's hand-off.
#include "server/pending_output.hh"
#include "tests/controller_alone.hh"

#include <benchmark/benchmark.h>

namespace quillary {
namespace {

std::string logRead()
{
    std::string read;
    for (int i = 0; read.size() + 100 <= 65536; ++i) {
        std::string line = "2026-12-06 21:08:53.123 INFO  [worker-" + std::to_string(i % 8) + "] request handled in 3 ms";
        line.resize(99, '.');
        read += line + '\n';
    }
    return read;
}

void consumeRead(benchmark::State& state, bool portKnown)
{
    NoPlatform platform;
    auto delegate = AppDelegate::create(platform);
    if (portKnown)
        AppDelegateProbe::consume(*delegate, "порт 8080\n");
    std::string read = logRead();
    for (auto _ : state) {
        AppDelegateProbe::consume(*delegate, read);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * read.size()));
}

// Reads of whole lines, or (`cut`) reads of 64 KiB that cut a line at each
// end, as a pipe that is never empty gives them: the line is carried over.
void handOff(benchmark::State& state, bool portKnown, bool cut)
{
    PendingOutput pending;
    if (portKnown)
        pending.add("порт 8080\n");
    pending.take();
    std::string read = logRead();
    if (cut)
        read = std::string(read, 50) + std::string(read, 0, 65536 - (read.size() - 50));
    int n = 0;
    for (auto _ : state) {
        pending.add(read);
        if (++n % 16 == 0) // the main thread takes now and then
            benchmark::DoNotOptimize(pending.take());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * read.size()));
}

BENCHMARK_CAPTURE(consumeRead, port_absent, false);
BENCHMARK_CAPTURE(consumeRead, port_known, true);
BENCHMARK_CAPTURE(handOff, port_absent, false, false);
BENCHMARK_CAPTURE(handOff, port_known, true, false);
BENCHMARK_CAPTURE(handOff, port_absent_lines_cut, false, true);
BENCHMARK_CAPTURE(handOff, port_known_lines_cut, true, true);

} // namespace
} // namespace quillary

BENCHMARK_MAIN();
