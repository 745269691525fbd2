#include "platform/posix/posix_process.hh"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#if __has_include(<xlocale.h>)
#include <xlocale.h> // uselocale on macOS; glibc has it in <locale.h>
#endif

// What this system offers beyond POSIX, found by the build (each is 0 when
// QUILLARY_PORTABLE_PROCESS builds the road taken where it is missing):
// QUILLARY_HAVE_PIPE2, QUILLARY_HAVE_CLOSEFROM_NP (glibc, not macOS),
// QUILLARY_HAVE_PIPE_SIZE (F_GETPIPE_SZ, Linux only), QUILLARY_HAVE_STRERROR_L
// (not on macOS).

namespace quillary {

namespace {

// A read of at most this much: pipes are usually 64 KiB, and a server may
// have made its own larger.
constexpr std::size_t kLargestRead = 1 << 20;

// Move-only owner of a file descriptor.
class UniqueDescriptor {
public:
    explicit UniqueDescriptor(int fd = -1) : fd_(fd) {}
    UniqueDescriptor(UniqueDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueDescriptor& operator=(UniqueDescriptor&& other) noexcept
    {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueDescriptor() { reset(); }

    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Moves a descriptor off 0, 1 and 2, where it would be mistaken for (or
// clobbered by) the child's standard streams when the launcher itself was
// started with one of them closed.
int aboveStandardStreams(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

// A pipe whose ends are both close-on-exec. Without pipe2 there is a
// moment when they are not; it does no harm, as the launcher starts
// processes from its main thread only, and this runs there.
int closeOnExecPipe(int fds[2])
{
#if QUILLARY_HAVE_PIPE2
    return ::pipe2(fds, O_CLOEXEC);
#else
    if (::pipe(fds) < 0)
        return -1;
    for (int i : {0, 1}) {
        if (::fcntl(fds[i], F_SETFD, FD_CLOEXEC) < 0) {
            int error = errno;
            ::close(fds[0]);
            ::close(fds[1]);
            errno = error;
            return -1;
        }
    }
    return 0;
#endif
}

// The child keeps its standard streams and nothing else of the launcher's:
// a descriptor the launcher inherited without close-on-exec (from a
// terminal, a desktop, a debugger) is none of the server's business.
void closeAboveStandardStreams(posix_spawn_file_actions_t& actions)
{
#if QUILLARY_HAVE_CLOSEFROM_NP
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#else
    // Without closefrom in the file actions, every descriptor open now is
    // marked close-on-exec instead; the launcher execs nothing itself, so
    // the marks cost it nothing. /dev/fd lists them on Linux and macOS alike.
    (void)actions;
    if (DIR* directory = ::opendir("/dev/fd")) {
        int own = ::dirfd(directory);
        while (dirent* entry = ::readdir(directory)) {
            int fd = std::atoi(entry->d_name);
            if (fd > STDERR_FILENO && fd != own)
                ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
        }
        ::closedir(directory);
    }
#endif
}

// The pipe's capacity, where the system tells it: one read takes all of it.
std::size_t readSize(int pipe)
{
#if QUILLARY_HAVE_PIPE_SIZE
    int capacity = ::fcntl(pipe, F_GETPIPE_SZ);
    if (capacity > 0)
        return std::min<std::size_t>(static_cast<std::size_t>(capacity), kLargestRead);
#else
    (void)pipe; // macOS grows a busy pipe to 64 KiB and says nothing of it
#endif
    return 65536;
}

// strerror_r comes in two kinds: the XSI one returns a status, the GNU one
// the text (which may or may not be in the buffer).
[[maybe_unused]] const char* errorText(int status, const char* buffer)
{
    return status == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* errorText(const char* text, const char*)
{
    return text;
}

} // namespace

std::string describeError(int error)
{
    locale_t locale = ::newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
    if (!locale)
        return std::strerror(error);
#if QUILLARY_HAVE_STRERROR_L
    std::string text = ::strerror_l(error, locale);
#else
    // The user's locale for this thread only, for as long as it takes.
    locale_t previous = ::uselocale(locale);
    char buffer[256] = "";
    const char* described = errorText(::strerror_r(error, buffer, sizeof buffer), buffer);
    std::string text = described ? described : std::strerror(error);
    ::uselocale(previous);
#endif
    ::freelocale(locale);
    return text;
}

struct PosixProcess::Shared {
    // Guards the process's state. `terminate` and the reaping both hold it,
    // so no signal is sent to a PID that has been reaped and maybe reused.
    std::mutex mutex;
    std::condition_variable changed;
    pid_t pid = -1;
    bool launched = false;
    bool reaped = false;
    bool outputEnded = false;

    // Held while a handler runs and while the object drops them, so that no
    // handler runs once the object is gone.
    std::mutex handlerMutex;
    OutputHandler outputHandler;
    TerminationHandler terminationHandler;

    void readOutput(UniqueDescriptor pipe);
    void awaitExit();
};

void PosixProcess::Shared::readOutput(UniqueDescriptor pipe)
{
    std::size_t size = readSize(pipe.get());
    std::unique_ptr<char[]> buffer(new char[size]);
    for (;;) {
        ssize_t count = ::read(pipe.get(), buffer.get(), size);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break; // end of file; a read error ends the output the same way
        std::lock_guard lock(handlerMutex);
        if (outputHandler)
            outputHandler(std::string_view(buffer.get(), static_cast<std::size_t>(count)));
    }
    pipe.reset();
    std::lock_guard lock(mutex);
    outputEnded = true;
    changed.notify_all();
}

void PosixProcess::Shared::awaitExit()
{
    // Wait outside the lock without reaping: the process stays a zombie, so
    // its PID cannot be reused while `terminate` may still signal it.
    siginfo_t info{};
    int waited;
    do
        waited = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    while (waited < 0 && errno == EINTR);

    std::unique_lock lock(mutex);
    int terminationStatus;
    if (waited == 0) {
        terminationStatus = info.si_status; // the exit code, or the signal's number
        ::waitpid(pid, nullptr, 0);
    } else {
        terminationStatus = -1; // reaped behind our back: SIGCHLD ignored
    }
    reaped = true;
    changed.notify_all();

    // The server's last words must reach the main queue before its end does.
    // A grandchild that keeps the pipe open must not hold the end back long.
    changed.wait_for(lock, kOutputDrainLimit, [this] { return outputEnded; });
    lock.unlock();

    std::lock_guard handlerLock(handlerMutex);
    if (terminationHandler)
        terminationHandler(terminationStatus);
}

PosixProcess::PosixProcess() : shared_(std::make_shared<Shared>()) {}

PosixProcess::~PosixProcess()
{
    // The threads may outlive the object (a grandchild can hold the pipe
    // for ever); they keep the shared state, but call nobody any more.
    std::lock_guard lock(shared_->handlerMutex);
    shared_->outputHandler = nullptr;
    shared_->terminationHandler = nullptr;
}

void PosixProcess::setExecutable(std::filesystem::path executable)
{
    executable_ = std::move(executable);
}

void PosixProcess::setEnvironment(const Environment& environment)
{
    environment_ = environment;
}

void PosixProcess::setOutputHandler(OutputHandler handler)
{
    std::lock_guard lock(shared_->handlerMutex);
    shared_->outputHandler = std::move(handler);
}

void PosixProcess::setTerminationHandler(TerminationHandler handler)
{
    std::lock_guard lock(shared_->handlerMutex);
    shared_->terminationHandler = std::move(handler);
}

std::optional<std::string> PosixProcess::launch()
{
    int fds[2];
    if (closeOnExecPipe(fds) < 0)
        return describeError(errno);
    UniqueDescriptor readEnd(aboveStandardStreams(fds[0]));
    UniqueDescriptor writeEnd(aboveStandardStreams(fds[1]));
    if (readEnd.get() < 0 || writeEnd.get() < 0)
        return describeError(errno);

    // The child gets the pipe as its standard output and error, and no other
    // descriptor of ours but its standard input.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
    closeAboveStandardStreams(actions);

    // Whatever the launcher blocks or ignores is not the server's business.
    // Every bit is set by hand: sigfillset leaves out the C library's own
    // signals, which posix_spawn then ignores in the child, and an ignored
    // signal stays ignored across exec.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    std::memset(&all, 0xFF, sizeof all);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> variables;
    variables.reserve(environment_.size());
    for (const auto& [name, value] : environment_)
        variables.push_back(name + '=' + value);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string program = executable_.string();
    char* argv[] = {program.data(), nullptr};

    pid_t pid;
    int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    // Our copy of the write end must go, or end of file never comes.
    writeEnd.reset();
    if (error != 0)
        return describeError(error);

    {
        std::lock_guard lock(shared_->mutex);
        shared_->pid = pid;
        shared_->launched = true;
    }
    try {
        // The watchers block every signal, so that the launcher's own reach
        // the main thread's loop. A signal's handler need not run at once in
        // the thread that takes it (ThreadSanitizer defers it to the thread's
        // next call), and a watcher's read or waitid lasts as long as the
        // server does.
        sigset_t previous;
        ::pthread_sigmask(SIG_SETMASK, &all, &previous);
        struct Restore {
            sigset_t mask;
            ~Restore() { ::pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
        } restore{previous};
        std::thread(&Shared::readOutput, shared_, std::move(readEnd)).detach();
        std::thread(&Shared::awaitExit, shared_).detach();
    } catch (const std::system_error& failure) {
        // Unwatched, the server could not be stopped or reported on.
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        std::lock_guard lock(shared_->mutex);
        shared_->launched = false;
        return describeError(failure.code().value());
    }
    return std::nullopt;
}

int PosixProcess::processIdentifier() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->launched ? static_cast<int>(shared_->pid) : -1;
}

bool PosixProcess::isRunning() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->launched && !shared_->reaped;
}

void PosixProcess::terminate()
{
    std::lock_guard lock(shared_->mutex);
    if (shared_->launched && !shared_->reaped)
        ::kill(shared_->pid, SIGTERM);
}

bool PosixProcess::waitUntilExit(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(shared_->mutex);
    // std::condition_variable waits on the steady (monotonic) clock.
    return shared_->changed.wait_for(lock, timeout, [this] { return !shared_->launched || shared_->reaped; });
}

} // namespace quillary
