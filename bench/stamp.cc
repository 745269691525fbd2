// A clock stamp for the launcher benchmarks (bench/launcher_bench.py):
//
//   bench_stamp FILE -- PROGRAM [ARGS...]   appends the time to FILE, then
//                                           becomes PROGRAM (same pid)
//   bench_stamp FILE [WORDS...]             appends the time and the words
//                                           to FILE, and ends
//
// The time is CLOCK_MONOTONIC in nanoseconds, the clock that the fake server's
// "mark" step and the floor program write, so that the times of different
// processes can be subtracted. The first form is the exec wrapper: its time
// is taken just before exec, so that a start-up measured from it includes the
// loading of PROGRAM. The second form is the default browser of the
// benchmark's desktop: the time at which the launcher's hand-off reached it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

long long monotonicNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// One write on an O_APPEND descriptor: lines of stamps that run side by side
// (several browser hand-offs at once) do not interleave.
bool append(const char* path, const std::string& line)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ssize_t written;
    do
        written = write(fd, line.data(), line.size());
    while (written < 0 && errno == EINTR);
    close(fd);
    return written == static_cast<ssize_t>(line.size());
}

} // namespace

int main(int argc, char** argv)
{
    long long now = monotonicNs();
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_stamp FILE [-- PROGRAM ARGS... | WORDS...]\n");
        return 2;
    }
    bool exec = argc >= 4 && std::strcmp(argv[2], "--") == 0;
    std::string line = std::to_string(now);
    if (!exec) {
        for (int i = 2; i < argc; ++i)
            line += std::string(" ") + argv[i];
    }
    line += '\n';
    if (!append(argv[1], line)) {
        std::fprintf(stderr, "bench_stamp: cannot write %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    if (!exec)
        return 0;
    execv(argv[3], argv + 3);
    std::fprintf(stderr, "bench_stamp: cannot run %s: %s\n", argv[3], std::strerror(errno));
    return 127;
}
