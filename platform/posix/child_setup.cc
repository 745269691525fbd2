#include "platform/posix/child_setup.hh"

#if QUILLARY_DEATH_SIGNAL

#include <cerrno>
#include <csignal>

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillary {

namespace {

// The child, from clone to exec, runs in the launcher's memory on a stack of
// its own, while the thread that started it waits (as posix_spawn does; a
// fork would copy the launcher, and the child would take ten times as long to
// exec). So it makes the kernel's own calls only (no lock of the C library,
// no sanitizer's interceptor or instrumentation, no allocation), writes
// nothing of the launcher's but errno, and has every signal blocked until it
// execs: no handler of the launcher's may run there.
#if __has_attribute(disable_sanitizer_instrumentation) // clang's no_sanitize keeps ThreadSanitizer's calls
#define QUILLARY_CHILD __attribute__((no_sanitize("address", "thread", "undefined"), disable_sanitizer_instrumentation))
#else
#define QUILLARY_CHILD __attribute__((no_sanitize("address", "thread", "undefined")))
#endif

// The kernel's signal set, in words.
constexpr std::size_t kKernelSignalSetSize = (_NSIG - 1) / 8;
constexpr std::size_t kKernelSignalSetWords = kKernelSignalSetSize / sizeof(unsigned long);

QUILLARY_CHILD long call(long number, auto... arguments)
{
    return ::syscall(number, arguments...);
}

// Closes every descriptor above the standard streams but `keep`. close_range
// does it at once where the kernel has it (Linux 5.9) and lets us have it: a
// container's seccomp profile older than the call refuses it, with ENOSYS or
// EPERM. Else each descriptor that /proc/self/fd lists goes, the listing read
// again until a pass finds nothing to close; and where /proc is not mounted,
// each number below the launcher's limit of open files.
QUILLARY_CHILD bool closeAboveStandardStreams(int keep, unsigned limit)
{
    constexpr int first = STDERR_FILENO + 1;
    if ((keep == first || call(SYS_close_range, first, keep - 1, 0) == 0) && call(SYS_close_range, keep + 1, ~0U, 0) == 0)
        return true;
    long directory = call(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        for (unsigned fd = first; fd < limit; ++fd)
            if (static_cast<int>(fd) != keep)
                call(SYS_close, fd);
        return true;
    }
    alignas(dirent64) char entries[2048];
    for (bool closed = true; closed;) {
        closed = false;
        long size;
        while ((size = call(SYS_getdents64, directory, entries, sizeof entries)) > 0) {
            for (long at = 0; at < size;) {
                const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
                at += entry->d_reclen;
                int fd = 0;
                for (const char* digit = entry->d_name; *digit >= '0' && *digit <= '9'; ++digit)
                    fd = fd * 10 + (*digit - '0');
                if (fd >= first && fd != keep && fd != directory && entry->d_name[0] != '.') {
                    call(SYS_close, fd);
                    closed = true;
                }
            }
        }
        if (size < 0 || (closed && call(SYS_lseek, directory, 0, SEEK_SET) < 0))
            return false;
    }
    call(SYS_close, directory);
    return true;
}

QUILLARY_CHILD bool setUpChild(const ChildSetUp& setUp)
{
    // Whatever the launcher ignores or handles, the C library's signals
    // 32 and 33 too, which its own sigaction keeps out of reach. The
    // kernel's sigaction for SIG_DFL (0) is all zeros, whatever the order of
    // its fields (handler, flags, restorer, mask) on this machine.
    unsigned long byDefault[3 + kKernelSignalSetWords] = {};
    for (int signal = 1; signal < _NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP &&
            call(SYS_rt_sigaction, signal, byDefault, nullptr, kKernelSignalSetSize) < 0)
            return false;
    for (int end : setUp.deathEnds)
        if (call(SYS_fcntl, end, F_SETSIG, SIGTERM) < 0 || call(SYS_fcntl, end, F_SETOWN, call(SYS_getpid)) < 0 ||
            call(SYS_fcntl, end, F_SETFL, O_ASYNC) < 0)
            return false;
    if (call(SYS_getppid) != setUp.parent)
        call(SYS_exit_group, 0); // the launcher is gone already: nothing to start
    // A process group of its own: a terminal's signals (Ctrl-C, and SIGTTIN
    // for a server that reads a terminal while the launcher runs in the
    // background, which would stop the whole group) are the launcher's,
    // which passes on the one SIGTERM.
    if (call(SYS_setpgid, 0, 0) < 0)
        return false;
    // Only the error pipe stays above the standard streams, until the exec.
    unsigned long none[kKernelSignalSetWords] = {};
    return call(SYS_dup3, setUp.output, STDOUT_FILENO, 0) >= 0 && call(SYS_dup3, setUp.output, STDERR_FILENO, 0) >= 0 &&
           closeAboveStandardStreams(setUp.error, setUp.descriptorLimit) &&
           call(SYS_rt_sigprocmask, SIG_SETMASK, none, nullptr, kKernelSignalSetSize) >= 0;
}

} // namespace

QUILLARY_CHILD int becomeServer(void* argument)
{
    const ChildSetUp& setUp = *static_cast<const ChildSetUp*>(argument);
    if (setUpChild(setUp))
        call(SYS_execve, setUp.argv[0], setUp.argv, setUp.envp);
    int error = errno;
    call(SYS_write, setUp.error, &error, sizeof error);
    call(SYS_exit_group, 127);
    return 127;
}

} // namespace quillary

#endif
