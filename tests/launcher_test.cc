// The controller with real server processes: small scripts that the tests
// write, started by the launcher's own process object from a launcher whose
// signal state and descriptors are as untidy as a desktop may leave them.
// How the user meets each way a server fails is tests/desktop/test_faults.py;
// here is what only the server sees, what a desktop cannot bring about, and races.
#include "app/app_delegate.hh"
#include "platform/posix/posix_process.hh"
#include "tests/controller_alone.hh"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <csignal>
#include <deque>
#include <fstream>
#include <future>
#include <mutex>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillary {
namespace {

// Stretched by QUILLARY_TEST_TIMEOUT_FACTOR, as every test's waits are.
std::chrono::milliseconds scaled(std::chrono::milliseconds time)
{
    const char* factor = std::getenv("QUILLARY_TEST_TIMEOUT_FACTOR");
    return std::chrono::milliseconds(static_cast<long>(time.count() * (factor ? std::atof(factor) : 1.0)));
}

// How long a step of the main queue is waited for: only a hang waits so long.
const std::chrono::milliseconds kStepTimeout = scaled(std::chrono::milliseconds(30000));

const std::filesystem::path kServer = std::filesystem::path(::testing::TempDir()) /
                                      ("quillary-bin-" + std::to_string(::getpid()));
const Environment kEnvironment = {{"PATH", std::getenv("PATH")}, {"QUILLARY_APP", "0"}, {"ODD", "a=b c\tд"}};

void writeServer(const std::string& text)
{
    std::ofstream(kServer) << text;
    std::filesystem::permissions(kServer, std::filesystem::perms::owner_all);
}

// Records the controller's alerts and ends, and runs the main queue when the
// test says.
struct RecordingPlatform final : NoPlatform {
    std::vector<std::string> alerts;
    std::vector<ExitStatus> terminations;
    std::mutex mutex;
    std::condition_variable queued;
    std::deque<std::function<void()>> queue;
    std::shared_ptr<AppDelegate> delegate = AppDelegate::create(*this); // gone first, with its server

    void terminate(ExitStatus status) override { terminations.push_back(status); }
    void runModalAlert(std::string_view, std::string_view text) override { alerts.emplace_back(text); }
    std::optional<std::filesystem::path> resourcePath(std::string_view) override { return kServer; }
    Environment environment() override { return kEnvironment; }
    std::unique_ptr<ServerProcess> makeServerProcess() override { return std::make_unique<PosixProcess>(); }
    void async(std::function<void()> work) override
    {
        std::lock_guard lock(mutex);
        queue.push_back(std::move(work));
        queued.notify_one();
    }
    // Runs steps until `done` holds; false if a step does not come in time.
    bool runUntil(const std::function<bool()>& done)
    {
        while (!done()) {
            std::unique_lock lock(mutex);
            if (!queued.wait_for(lock, kStepTimeout, [this] { return !queue.empty(); }))
                return false;
            std::function<void()> work = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            work();
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
        unsigned long flags = 0, restorer = 0, mask = 0;
    } action{handler};
    ::syscall(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
}

class Launcher : public ::testing::Test {
protected:
    int leakyDescriptor = ::open("/dev/null", O_RDONLY); // not close-on-exec
    sigset_t previousMask;

    Launcher()
    {
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
        std::filesystem::remove(kServer);
    }
};

std::string repeated(std::string_view text, int times)
{
    return times > 0 ? std::string(text) + repeated(text, times - 1) : "";
}

// A server that fails before its port, and the alert's text: its last lines.
TEST_F(Launcher, ServerFailsAndTheAlertSays)
{
    const struct {
        const char* name;
        std::string program, alert;
    } rows[] = {
        {"its_variable_and_the_environment", "#!/bin/sh\nprintf '%s\\n' \"$QUILLARY_APP\" \"$ODD\"\nexit 1\n",
         "1\na=b c\tд"},
        {"a_message_of_one_space_is_no_empty_one", "#!/bin/sh\necho ' '\nexit 1\n", " "},
        // Shown alike on every desktop: a NUL as U+FFFD, a line too long to
        // read by its start and end, counted in characters.
        {"a_nul_and_a_line_of_1001_characters",
         "#!/bin/sh\nprintf 'a\\000b\\n'\nprintf '%01001d\\n' 0 | sed s/0/я/g\nexit 1\n",
         "a\uFFFDb\n" + repeated("я", 499) + "…" + repeated("я", 500)},
        {"a_process_group_of_its_own", "#!/bin/sh\nread -r pid name state parent group rest </proc/$$/stat\n"
                                       "[ $group = $$ ] && echo own\nexit 1\n", "own"},
        // The shell would clear the signal mask; grep is the server itself.
        {"no_signal_blocked_or_ignored", "#!/usr/bin/env -S grep -hs ^Sig[BI] /proc/self/status /none\n",
         "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000"},
    };
    for (const auto& [name, program, alert] : rows) {
        writeServer(program);
        RecordingPlatform platform;
        platform.delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(platform.runUntil([&] { return !platform.terminations.empty(); })) << name;
        EXPECT_EQ(platform.alerts, std::vector{alert}) << name;
        EXPECT_EQ(platform.terminations, std::vector{ExitStatus::failure}) << name;
    }
}

// Refuses close_range from now on, as a kernel before 5.9 (ENOSYS) or an older container profile (EPERM) do.
void refuseCloseRange(int error)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{std::size(filter), filter};
    ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    ASSERT_EQ(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &program), 0);
    ASSERT_TRUE(::syscall(SYS_close_range, 1000, 1000, 0) == -1 && errno == error) << "refused";
}

// The server has the standard streams only, whatever the launcher inherited without close-on-exec, low or high:
// closed by close_range, or without where it is refused (QUILLARY_REFUSE_CLOSE_RANGE: a process of its own, below).
TEST_F(Launcher, ServerGetsOnlyTheStandardStreams)
{
    if (const char* error = std::getenv("QUILLARY_REFUSE_CLOSE_RANGE"))
        refuseCloseRange(std::atoi(error));
    ASSERT_EQ(::dup2(leakyDescriptor, 1000), 1000);
    writeServer("#!/bin/sh\nls /proc/self/fd\nexit 1\n");
    RecordingPlatform platform;
    platform.delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(platform.runUntil([&] { return !platform.alerts.empty(); }));
    EXPECT_EQ(platform.alerts[0], "0\n1\n2\n3") << "3: ls's own";
    ::close(1000);
}

TEST(PosixProcess, ServerGetsOnlyTheStandardStreamsWhereCloseRangeIsRefused)
{
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    for (int error : {ENOSYS, EPERM}) {
        std::string run = "QUILLARY_REFUSE_CLOSE_RANGE=" + std::to_string(error) + " " + self +
                          " --gtest_filter=Launcher.ServerGetsOnlyTheStandardStreams >&2";
        EXPECT_EQ(std::system(run.c_str()), 0) << "close_range refused with " << std::strerror(error);
    }
}

// A server that explains itself and exits at once must have its last words
// in the alert, however the reads and the exit race each other. A full pipe
// behind them leaves the reader busy when the server exits.
TEST_F(Launcher, LastWordsComeBeforeTheEndEveryTime)
{
    writeServer("#!/bin/sh\nhead -c 300000 /dev/zero\necho; echo two >&2; echo three; echo four >&2; echo five\nexit 1\n");
    for (int run = 0; run < 200; ++run) {
        RecordingPlatform platform;
        platform.delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(platform.runUntil([&] { return !platform.alerts.empty(); }));
        ASSERT_EQ(platform.alerts[0], "two\nthree\nfour\nfive") << "run " << run;
    }
}

// On the way out, the one SIGTERM's grace; a server that ignored it is then
// left alone (this one ends with the test, its parent).
TEST_F(Launcher, AServerThatIgnoresTheSigtermIsLeftAfterTheGrace)
{
    writeServer("#!/bin/sh\ntrap '' TERM\necho 'веб-интерфейс слушает порт 4242'\n"
                "while kill -0 $PPID; do sleep 0.05; done\n");
    RecordingPlatform platform;
    EXPECT_FALSE(platform.delegate->applicationShouldHandleReopen(false));
    platform.delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(platform.runUntil([&] { return AppDelegateProbe::port(*platform.delegate).has_value(); }));

    auto quit = std::chrono::steady_clock::now();
    platform.delegate->applicationWillTerminate();
    auto waited = std::chrono::steady_clock::now() - quit;
    EXPECT_GE(waited, std::chrono::milliseconds(1500));
    EXPECT_LT(waited, std::chrono::milliseconds(1500) + scaled(std::chrono::milliseconds(500)));
}

// The launcher's signals are for its main loop: the threads that watch the
// server, which wait in read and waitid as long as it lives, take none.
TEST(PosixProcess, WatchersLeaveSignalsToTheMainThread)
{
    writeServer("#!/bin/sh\necho up\nexec sleep 60\n");
    sigset_t none, inherited;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, &inherited); // as in the launcher's main thread
    std::promise<void> read;
    PosixProcess process;
    process.setExecutable(kServer);
    process.setOutputHandler([&](std::string_view bytes) { if (!bytes.empty()) read.set_value(); });
    ASSERT_EQ(process.launch(), std::nullopt);
    pthread_sigmask(SIG_SETMASK, &inherited, nullptr);
    read.get_future().wait(); // the reader is past its start, where every signal is blocked for a moment
    int watchers = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == std::to_string(::getpid()))
            continue;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line) && line.rfind("SigBlk:", 0) != 0) {}
        unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            EXPECT_TRUE(blocked >> (signal - 1) & 1) << "signal " << signal << " in thread " << task.path().filename();
        ++watchers;
    }
    EXPECT_GE(watchers, 2);
    process.terminate();
    EXPECT_TRUE(process.waitUntilExit(kStepTimeout));
}

// Once reaped, the server's PID may at once be another process's: it must
// not get the SIGTERM. Needs leave to choose the next PID (root).
TEST(PosixProcess, TerminateAfterTheReapSignalsNobody)
{
    PosixProcess process;
    process.setExecutable("/bin/true");
    ASSERT_EQ(process.launch(), std::nullopt);
    const pid_t old = process.processIdentifier();
    ASSERT_TRUE(process.waitUntilExit(kStepTimeout)) << "reaped";

    pid_t successor = -1;
    for (int attempt = 0; attempt < 10 && successor != old; ++attempt) {
        if (successor > 0) { // another process was quicker
            ::kill(successor, SIGKILL);
            ::waitpid(successor, nullptr, 0);
        }
        if (!(std::ofstream("/proc/sys/kernel/ns_last_pid") << old - 1 << std::flush))
            GTEST_SKIP() << "cannot choose the next PID here";
        if ((successor = fork()) == 0) {
            pause();
            _exit(0);
        }
        ASSERT_GT(successor, 0) << "fork"; // -1 would be every process below
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
