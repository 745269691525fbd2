// The controller with real server processes: small scripts that the tests
// write, started by the launcher's own process object from a launcher whose
// signal state and descriptors are as untidy as a desktop may leave them.
#include "app/app_delegate.hh"
#include "platform/posix/posix_process.hh"
#include "tests/app_delegate_probe.hh"
#include "tests/no_platform.hh"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <deque>
#include <fstream>
#include <future>
#include <mutex>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillary {
namespace {

using namespace std::chrono_literals;

const std::string kHeadline = "Quillary не запустился\n";

// Test timeouts, scaled by QUILLARY_TEST_TIMEOUT_FACTOR for slow machines.
std::chrono::milliseconds scaled(std::chrono::milliseconds timeout)
{
    const char* factor = std::getenv("QUILLARY_TEST_TIMEOUT_FACTOR");
    return std::chrono::milliseconds(static_cast<long long>(timeout.count() * (factor ? std::atof(factor) : 1.0)));
}

// Records alerts (headline, a line end, the text), opened addresses and
// ends, and runs the main queue when the test says.
struct RecordingPlatform final : NoPlatform {
    AppDelegate* delegate = nullptr;
    std::optional<std::filesystem::path> server;
    Environment variables;
    std::vector<std::string> alerts, openedURLs;
    std::vector<ExitStatus> terminations;
    std::mutex mutex;
    std::condition_variable queued;
    std::deque<std::function<void()>> queue;
    int steps = 0; // run so far

    void terminate(ExitStatus status) override
    {
        terminations.push_back(status);
        if (terminations.size() == 1) // as on the desktop, the delegate hears of it once
            delegate->applicationWillTerminate();
    }
    void runModalAlert(std::string_view headline, std::string_view text) override
    {
        alerts.push_back(std::string(headline) + "\n" + std::string(text));
    }
    void openURL(std::string_view url) override { openedURLs.emplace_back(url); }
    std::optional<std::filesystem::path> resourcePath(std::string_view) override { return server; }
    Environment environment() override { return variables; }
    std::unique_ptr<ServerProcess> makeServerProcess() override { return std::make_unique<PosixProcess>(); }
    void async(std::function<void()> work) override
    {
        std::lock_guard lock(mutex);
        queue.push_back(std::move(work));
        queued.notify_one();
    }
    // Runs steps until `done` holds, each waited for at most `timeout`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = scaled(5s))
    {
        while (!done()) {
            std::unique_lock lock(mutex);
            if (!queued.wait_for(lock, timeout, [this] { return !queue.empty(); }))
                return false;
            std::function<void()> step = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            step();
            ++steps;
        }
        return true;
    }
};

// Sets a signal's disposition with the kernel's own call: the C library
// keeps its signals 32 and 33 out of reach, yet a launcher can inherit them
// ignored from a parent that is no C program.
void setKernelDisposition(int signal, void (*handler)(int))
{
    struct {
        void (*handler)(int);
        unsigned long flags = 0;
        void (*restorer)() = nullptr;
        unsigned long mask = 0;
    } action{handler};
    ::syscall(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
}

class Launcher : public ::testing::Test {
protected:
    std::filesystem::path scratch = std::filesystem::path(::testing::TempDir()) /
                                    ("quillary-" + std::to_string(::getpid()));
    RecordingPlatform platform;
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(platform);
    int leakyDescriptor = ::open("/dev/null", O_RDONLY); // not close-on-exec
    sigset_t previousMask;

    Launcher()
    {
        std::filesystem::create_directories(scratch);
        platform.delegate = delegate.get();
        platform.server = scratch / "quillary-bin";
        platform.variables = {{"PATH", std::getenv("PATH")}, {"QUILLARY_APP", "0"}, {"ODD", "a=b c\tд"}, {"T", scratch}};
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
            sigaddset(&blocked, signal);
        pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
        for (int signal : {SIGPIPE, 32, 33})
            setKernelDisposition(signal, SIG_IGN);
    }
    ~Launcher() override
    {
        for (int signal : {SIGPIPE, 32, 33})
            setKernelDisposition(signal, SIG_DFL);
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        ::close(leakyDescriptor);
        std::filesystem::remove_all(scratch);
    }

    void writeServer(const std::string& text, std::filesystem::perms perms = std::filesystem::perms::owner_all)
    {
        std::ofstream(*platform.server) << text;
        std::filesystem::permissions(*platform.server, perms);
    }
    void runUntilEnded()
    {
        ASSERT_TRUE(platform.runUntil([&] { return !platform.terminations.empty(); }));
        platform.runUntil([] { return false; }, 50ms); // whatever else the server's end brings
    }
};

// How the server behaves (the text of its program; none: it is missing),
// and what the user gets: the alert's text, if any, and the exit status.
struct Row {
    const char* name;
    std::optional<std::string> program;
    std::optional<std::string> alert;
    ExitStatus status = ExitStatus::failure;
    std::filesystem::perms perms = std::filesystem::perms::owner_all;
};

const Row kRows[] = {
    {"not_a_program", "just text\n", "Не удалось запустить сервер: Exec format error"},
    {"a_space_is_a_line", "#!/bin/sh\necho ' '\nexit 3\n", " "},
    {"its_variable_and_the_environment", "#!/bin/sh\nprintf '%s\\n' \"$QUILLARY_APP\" \"$ODD\"\nexit 1\n",
     "1\na=b c\tд"},
    {"only_descriptors_0_1_2", "#!/bin/sh\nls /proc/self/fd\nexit 1\n", "0\n1\n2\n3"}, // 3: ls's own
    // The shell would clear the signal mask; grep is the server itself.
    {"no_signal_blocked_or_ignored", "#!/usr/bin/env -S grep -hs ^Sig[BI] /proc/self/status /none\n",
     "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000"},
};

class ServerEnd : public Launcher, public ::testing::WithParamInterface<Row> {};

TEST_P(ServerEnd, AsTheFaultTableSays)
{
    const Row& row = GetParam();
    if (row.program)
        writeServer(*row.program, row.perms);
    else
        platform.server.reset();
    delegate->applicationDidFinishLaunching();
    runUntilEnded();
    EXPECT_EQ(platform.alerts, row.alert ? std::vector{kHeadline + *row.alert} : std::vector<std::string>{});
    EXPECT_EQ(platform.terminations, std::vector{row.status});
}

INSTANTIATE_TEST_SUITE_P(Launcher, ServerEnd, ::testing::ValuesIn(kRows), [](const auto& info) { return info.param.name; });

// A server that explains itself and exits at once must have its last words
// in the alert, however the reads and the exit race each other. A full pipe
// behind them leaves the reader busy when the server exits.
TEST_F(Launcher, LastWordsComeBeforeTheEndEveryTime)
{
    writeServer("#!/bin/sh\nhead -c 300000 /dev/zero\necho; echo two >&2; echo three; echo four >&2; echo five\nexit 1\n");
    for (int run = 0; run < 50; ++run) {
        RecordingPlatform platform;
        auto delegate = std::make_shared<AppDelegate>(platform);
        platform.delegate = delegate.get();
        platform.server = this->platform.server;
        platform.variables = this->platform.variables;
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(platform.runUntil([&] { return !platform.alerts.empty(); }));
        ASSERT_EQ(platform.alerts[0], kHeadline + "two\nthree\nfour\nfive") << "run " << run;
    }
}

// A request to open before the port is known opens nothing, then or later:
// on the desktop such a request is not seen, only the opens after the port.
TEST_F(Launcher, OpensOnlyOnceThePortIsKnown)
{
    writeServer("#!/bin/sh\necho 'порт 0443'\n");
    delegate->applicationDidFinishLaunching();
    delegate->openUI(); // no step has run: the port is not known yet
    ASSERT_TRUE(platform.runUntil([&] { return AppDelegateProbe::port(*delegate).has_value(); }));
    EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
    EXPECT_EQ(platform.openedURLs, std::vector<std::string>{"http://localhost:443"});
}

// Once reaped, the server's PID may at once be another process's: it must
// not get the SIGTERM. Needs leave to choose the next PID (root).
TEST(PosixProcess, TerminateAfterTheReapSignalsNobody)
{
    std::filesystem::path server = std::filesystem::path(::testing::TempDir()) / ("quillary-pid-" + std::to_string(::getpid()));
    std::ofstream(server) << "#!/bin/sh\necho $$\n";
    std::filesystem::permissions(server, std::filesystem::perms::owner_all);
    std::promise<pid_t> started;
    std::promise<void> ended;
    PosixProcess process;
    process.setExecutable(server);
    process.setOutputHandler([&](std::string_view bytes) { started.set_value(std::stoi(std::string(bytes))); });
    process.setTerminationHandler([&](int) { ended.set_value(); });
    ASSERT_EQ(process.launch(), std::nullopt);
    pid_t old = started.get_future().get();
    ended.get_future().wait();
    std::filesystem::remove(server);

    pid_t successor = -1;
    for (int attempt = 0; attempt < 10 && successor != old; ++attempt) {
        if (successor > 0) { // another process was quicker
            ::kill(successor, SIGKILL);
            ::waitpid(successor, nullptr, 0);
        }
        std::ofstream nextPid("/proc/sys/kernel/ns_last_pid");
        if (!(nextPid << old - 1 << std::flush))
            GTEST_SKIP() << "cannot choose the next PID here";
        if ((successor = fork()) == 0) {
            pause();
            _exit(0);
        }
    }
    process.terminate();
    // A signal that kills is settled when sent: a SIGTERM first would stand.
    ::kill(successor, SIGKILL);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(successor), &info, WEXITED);
    if (successor != old)
        GTEST_SKIP() << "another process took the PID first";
    EXPECT_EQ(info.si_status, SIGKILL) << "the new holder of the PID got the SIGTERM";
}

} // namespace
} // namespace quillary
