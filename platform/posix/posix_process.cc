#include "platform/posix/posix_process.hh"

#include "platform/posix/process_system_calls.hh"
#include "platform/posix/server_start.hh"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace quillary {

namespace {

// How long the end of the process waits for its output to reach end of
// file before it is reported anyway.
constexpr std::chrono::milliseconds kOutputDrainLimit{250};

} // namespace

struct PosixProcess::Shared {
    // Guards the process's state. `terminate` and the reaping both hold it,
    // so no signal is sent to a PID that has been reaped and maybe reused.
    std::mutex mutex;
    std::condition_variable changed;
    pid_t pid = -1;
    bool launched = false;
    bool reaped = false;
    bool outputEnded = false;
    bool reported = false; // the termination handler has returned
    LauncherDeathSignal deathSignal;

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
        if (count < 0)
            count = 0; // a read error ends the output as end of file does
        std::lock_guard lock(handlerMutex);
        if (outputHandler)
            outputHandler(std::string_view(buffer.get(), static_cast<std::size_t>(count)));
        if (count == 0)
            break;
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

    {
        std::lock_guard handlerLock(handlerMutex);
        if (terminationHandler)
            terminationHandler(terminationStatus);
    }
    lock.lock();
    reported = true;
    changed.notify_all();
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
    UniqueDescriptor readEnd, writeEnd;
    if (int error = openPipe(readEnd, writeEnd))
        return describeError(error);

    std::vector<std::string> variables;
    variables.reserve(environment_.size());
    for (const auto& [name, value] : environment_)
        variables.push_back(name + '=' + value);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string program = executable_.string();

    pid_t pid;
    LauncherDeathSignal deathSignal;
    int error = startServer(pid, program, envp.data(), writeEnd.get(), deathSignal);
    // Our copy of the write end must go, or end of file never comes.
    writeEnd.reset();
    if (error != 0)
        return describeError(error);

    {
        std::lock_guard lock(shared_->mutex);
        shared_->pid = pid;
        shared_->launched = true;
        shared_->deathSignal = std::move(deathSignal);
    }
    try {
        // The watchers block every signal, so that the launcher's own reach
        // the main thread's loop. A signal's handler need not run at once in
        // the thread that takes it (ThreadSanitizer defers it to the thread's
        // next call), and a watcher's read or waitid lasts as long as the
        // server does.
        sigset_t all = everySignal(), previous;
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
    if (shared_->launched && !shared_->reaped) {
        // One SIGTERM and its grace; nothing follows, not even when the
        // launcher ends. Disarmed after the kill, not before: a launcher that
        // dies in between must leave its server a SIGTERM, if then maybe two.
        // A server stopped (by a debugger, by job control) would never act
        // on it and stay stopped for good: SIGCONT lets it be delivered.
        ::kill(shared_->pid, SIGTERM);
        ::kill(shared_->pid, SIGCONT);
        shared_->deathSignal.disarm();
    }
}

bool PosixProcess::waitUntilExit(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(shared_->mutex);
    // Until the end has been reported as well, so that the launcher's own
    // end cuts nothing short that the handler does (a grandchild holding
    // the pipe delays the report, but never past the timeout).
    // std::condition_variable waits on the steady (monotonic) clock.
    shared_->changed.wait_for(lock, timeout, [this] { return !shared_->launched || shared_->reported; });
    return !shared_->launched || shared_->reaped;
}

} // namespace quillary
