#include "platform/posix/server_start.hh"

#include "platform/posix/child_setup.hh"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <fcntl.h>

#if QUILLARY_DEATH_SIGNAL
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#else
#include <dirent.h>
#include <spawn.h>
#endif

namespace quillary {

void LauncherDeathSignal::disarm()
{
    // Letting go of O_ASYNC cannot fail. Both ends first: closing one makes
    // the other signal, should it still be set to.
    for (UniqueDescriptor& end : ends_)
        if (end.get() >= 0)
            ::fcntl(end.get(), F_SETFL, 0);
    for (UniqueDescriptor& end : ends_)
        end.reset();
}

#if QUILLARY_DEATH_SIGNAL

namespace {

// How the launcher's death reaches the server. Not PR_SET_PDEATHSIG: it
// follows the thread that forked, and the threads of a dying launcher hand
// the server on from one to the next, a SIGTERM at each (one to four were
// seen here for one SIGKILL, up to six for an exit after a quit); nor can the
// launcher clear it, so a server that ignored the SIGTERM of a quit would get
// more when the launcher then ends.
// Instead the launcher holds both ends of a pipe that nobody reads or writes,
// each end set to send the server SIGTERM when the other side closes. They
// are the process's, not a thread's: whatever ends the launcher closes them,
// and whichever end goes first, the other signals, once; the second finds no
// other side left, and says nothing. The server is their owner as a process,
// not as a number: once it is reaped, a process that takes its PID gets
// nothing. The child sets them up on its own copies of the ends, so should
// the launcher die before that, the child's own close of them signals it.
constexpr std::size_t kChildStackSize = 64 * 1024;

// glibc's own name for clone, which ThreadSanitizer does not intercept: it
// takes every clone for a fork and starts its state afresh in the child,
// which with CLONE_VM would be the launcher's.
#if QUILLARY_HAVE_GLIBC_CLONE
extern "C" int __clone(int (*function)(void*), void* stack, int flags, void* argument, ...);
constexpr auto startChild = __clone;
#else
constexpr auto startChild = ::clone;
#endif

// The most descriptors the launcher may have open: where nothing lists them,
// the child closes every number below it.
unsigned descriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) < 0 || limit.rlim_cur > 1u << 30)
        return 1u << 20; // the kernel's default most (nr_open)
    return static_cast<unsigned>(limit.rlim_cur);
}

} // namespace

// The launcher starts processes from its main thread only: `launch` is
// called there alone, and its reader and waiter threads never start any. The
// death signal would not mind another: its ends are the process's.
int startServer(pid_t& pid, std::string& program, char* const envp[], int output, LauncherDeathSignal& deathSignal)
{
    UniqueDescriptor errorRead, errorWrite;
    if (int error = openPipe(deathSignal.ends_[0], deathSignal.ends_[1]))
        return error;
    if (int error = openPipe(errorRead, errorWrite))
        return error;
    char* argv[] = {program.data(), nullptr};
    ChildSetUp setUp{argv, envp, output, errorWrite.get(), ::getpid(),
                     {deathSignal.ends_[0].get(), deathSignal.ends_[1].get()}, descriptorLimit()};
    alignas(16) char stack[kChildStackSize];
    sigset_t all = everySignal(), previous;
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid = startChild(becomeServer, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &setUp);
    int cloneError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errorWrite.reset(); // the child's copy went with its exec, and the read ends
    if (pid < 0)
        return cloneError;
    int error = 0;
    ssize_t count;
    do
        count = ::read(errorRead.get(), &error, sizeof error);
    while (count < 0 && errno == EINTR);
    if (count == 0)
        return 0;
    if (count < 0) { // not told how the exec went, it must not run unwatched
        error = errno;
        ::kill(pid, SIGKILL);
    }
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
    return error;
}

#else

namespace {

// Owner of one of posix_spawn's set-up objects, destroyed on whichever road
// the launch leaves by. Its initialisation can fail (for want of memory):
// status() is then the error number, and there is nothing to use or destroy.
template <typename SetUp, auto initialise, auto destroy>
class SpawnSetUp {
public:
    SpawnSetUp() : status_(initialise(&setUp_)) {}
    ~SpawnSetUp()
    {
        if (status_ == 0)
            destroy(&setUp_);
    }
    SpawnSetUp(const SpawnSetUp&) = delete;
    SpawnSetUp& operator=(const SpawnSetUp&) = delete;

    int status() const { return status_; }
    SetUp* get() { return &setUp_; }

private:
    SetUp setUp_;
    int status_;
};
using SpawnFileActions =
    SpawnSetUp<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnSetUp<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// The child keeps its standard streams and nothing else of the launcher's:
// a descriptor the launcher inherited without close-on-exec (from a
// terminal, a desktop, a debugger) is none of the server's business.
// 0, or the error number, as posix_spawn's own set-up calls answer.
int closeAboveStandardStreams(posix_spawn_file_actions_t* actions)
{
#if QUILLARY_HAVE_CLOSEFROM_NP
    return ::posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1);
#else
    // Without closefrom in the file actions, every descriptor open now is
    // marked close-on-exec instead; the launcher execs nothing itself, so
    // the marks cost it nothing. /dev/fd lists them on Linux and macOS alike.
    (void)actions;
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir("/dev/fd"), ::closedir);
    if (!directory)
        return errno;
    int own = ::dirfd(directory.get());
    for (;;) {
        errno = 0; // readdir tells its end from its failure by errno alone
        dirent* entry = ::readdir(directory.get());
        if (!entry)
            return errno;
        int fd = std::atoi(entry->d_name);
        if (fd <= STDERR_FILENO || fd == own)
            continue;
        // Another thread may close a descriptor once it is listed (a reader
        // lets its pipe go when its server's output ends): nothing to mark.
        int flags = ::fcntl(fd, F_GETFD);
        if ((flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) && errno != EBADF)
            return errno;
    }
#endif
}

// The child gets the pipe (`output`, its write end) as its standard output
// and error, and no other descriptor of ours but its standard input.
int setChildDescriptors(SpawnFileActions& actions, int output)
{
    if (int error = actions.status())
        return error;
    for (int stream : {STDOUT_FILENO, STDERR_FILENO})
        if (int error = ::posix_spawn_file_actions_adddup2(actions.get(), output, stream))
            return error;
    return closeAboveStandardStreams(actions.get());
}

// Whatever the launcher blocks or ignores is not the server's business,
// nor are a terminal's signals: a process group of its own (child_setup.cc
// says why).
int setChildSignals(SpawnAttributes& attributes)
{
    if (int error = attributes.status())
        return error;
    sigset_t none;
    sigemptyset(&none);
    sigset_t all = everySignal();
    if (int error = ::posix_spawnattr_setsigmask(attributes.get(), &none))
        return error;
    if (int error = ::posix_spawnattr_setsigdefault(attributes.get(), &all))
        return error;
    if (int error = ::posix_spawnattr_setpgroup(attributes.get(), 0))
        return error;
    return ::posix_spawnattr_setflags(attributes.get(),
                                      POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
}

} // namespace

int startServer(pid_t& pid, std::string& program, char* const envp[], int output, LauncherDeathSignal&)
{
    SpawnFileActions actions;
    if (int error = setChildDescriptors(actions, output))
        return error;
    SpawnAttributes attributes;
    if (int error = setChildSignals(attributes))
        return error;
    char* argv[] = {program.data(), nullptr};
    return ::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv, envp);
}

#endif

} // namespace quillary
