// When processes end, for the launcher benchmarks (bench/launcher_bench.py):
//
//   bench_exit_watch PID...
//
// Prints "ready" once it watches every PID, then "PID NS" as each one ends
// (NS: CLOCK_MONOTONIC in nanoseconds, the clock of the other stamps), and
// ends when all have. A process's end is what its pidfd reports: it has
// exited, whether or not its parent has reaped it yet, so that the server's
// end is seen before the launcher's waiter thread gets to it.
//
// The moment is taken as this program wakes, so it asks for a real-time
// priority first (it sleeps but for those few wake-ups): on a busy machine a
// waking Python script is late by a millisecond or more. Without the right
// to it, it runs as it is.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

long long monotonicNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int pidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_exit_watch PID...\n");
        return 2;
    }
    sched_param priority{};
    priority.sched_priority = 1;
    sched_setscheduler(0, SCHED_FIFO, &priority);

    std::vector<pollfd> watched;
    std::vector<long> pids;
    for (int i = 1; i < argc; ++i) {
        long pid = std::strtol(argv[i], nullptr, 10);
        int fd = pidfdOpen(static_cast<pid_t>(pid));
        if (fd < 0) {
            std::perror("bench_exit_watch: pidfd_open");
            return 1;
        }
        watched.push_back({fd, POLLIN, 0});
        pids.push_back(pid);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::size_t left = watched.size();
    while (left > 0) {
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("bench_exit_watch: poll");
            return 1;
        }
        long long now = monotonicNs();
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].fd >= 0 && watched[i].revents) {
                std::printf("%ld %lld\n", pids[i], now);
                close(watched[i].fd);
                watched[i].fd = -1; // poll skips negative descriptors
                --left;
            }
        }
        std::fflush(stdout);
    }
    return 0;
}
