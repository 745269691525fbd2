// The server process object against real child processes.
#include "platform/posix/posix_process.hh"
#include "tests/recording_platform.hh"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillary {
namespace {

using namespace std::chrono_literals;
using testing::scaled;

// Runs the fake server with `script` and collects what reaches the handlers.
struct ServerRun {
    std::string output;
    int reads = 0;
    std::promise<int> ended;
    std::future<int> status = ended.get_future();
    std::mutex mutex;
    PosixProcess process;

    explicit ServerRun(const std::string& script, std::filesystem::path executable = testing::fakeServerPath())
    {
        process.setExecutable(std::move(executable));
        process.setEnvironment({{"FAKE_SERVER", script}});
        process.setOutputHandler([this](std::string_view bytes) {
            std::lock_guard lock(mutex);
            output += bytes;
            ++reads;
        });
        process.setTerminationHandler([this](int terminationStatus) { ended.set_value(terminationStatus); });
    }

    int wait()
    {
        EXPECT_EQ(status.wait_for(scaled(10s)), std::future_status::ready);
        return status.get();
    }
    // Waits until the output holds `expected`.
    bool waitForOutput(std::string_view expected)
    {
        auto deadline = std::chrono::steady_clock::now() + scaled(10s);
        while (text().find(expected) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    std::string text()
    {
        std::lock_guard lock(mutex);
        return output;
    }
};

TEST(PosixProcess, BothStreamsArriveInOrderBeforeTheEnd)
{
    ServerRun run("out:1;err:2;out:3;err:4;sleep:20;out:5;exit:7");
    ASSERT_EQ(run.process.launch(), std::nullopt);
    EXPECT_TRUE(run.process.isRunning());
    EXPECT_EQ(run.wait(), 7) << "the exit code";
    EXPECT_EQ(run.text(), "1\n2\n3\n4\n5\n") << "all of it, before the termination handler";
    EXPECT_FALSE(run.process.isRunning());
}

TEST(PosixProcess, StatusOfASignalledServerIsTheSignalNumber)
{
    ServerRun run("kill:11");
    ASSERT_EQ(run.process.launch(), std::nullopt);
    EXPECT_EQ(run.wait(), SIGSEGV);
}

TEST(PosixProcess, AGrandchildHoldingThePipeDelaysTheEndOnlyBriefly)
{
    ServerRun run("out:bye;grandchild:30000;exit:4");
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run.process.launch(), std::nullopt);
    EXPECT_EQ(run.wait(), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - start, scaled(5s)) << "not until the grandchild lets go";
    EXPECT_EQ(run.text(), "bye\n");
}

TEST(PosixProcess, EndOfOutputWhileTheServerRuns)
{
    ServerRun run("out:quiet now;close-output;sleep:100;exit:0");
    ASSERT_EQ(run.process.launch(), std::nullopt);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.text(), "quiet now\n");
}

TEST(PosixProcess, ServerInheritsOnlyItsStandardStreams)
{
    // Descriptors the launcher has open, with and without close-on-exec.
    int leaky = ::open("/dev/null", O_RDONLY);
    int guarded = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ServerRun run("fds");
    ASSERT_EQ(run.process.launch(), std::nullopt);
    run.wait();
    ::close(leaky);
    ::close(guarded);
    EXPECT_EQ(run.text(), "fds: 0 1 2\n");
}

TEST(PosixProcess, ServerStartsWithNoSignalBlockedOrIgnored)
{
    // The launcher ignores and blocks signals of its own; the server must not
    // inherit that. Launched from a thread of its own, so the mask can be set.
    std::string seen;
    std::thread([&] {
        auto previous = std::signal(SIGTERM, SIG_IGN);
        auto previousHup = std::signal(SIGHUP, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGUSR1);
        sigaddset(&blocked, SIGINT);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        ServerRun run("sigstatus");
        EXPECT_EQ(run.process.launch(), std::nullopt);
        std::signal(SIGTERM, previous);
        std::signal(SIGHUP, previousHup);
        run.wait();
        seen = run.text();
    }).join();
    EXPECT_EQ(seen, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(PosixProcess, LaunchErrorsAreTheSystemsText)
{
    auto dir = std::filesystem::temp_directory_path() / ("quillary-launch-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "plain") << "#!/bin/sh\n";
    std::ofstream(dir / "text") << "no program\n";
    std::filesystem::permissions(dir / "text", std::filesystem::perms::owner_all);
    struct Case {
        const char* name;
        std::filesystem::path path;
        int error;
    };
    const Case cases[] = {
        {"missing", dir / "missing", ENOENT},
        {"not executable", dir / "plain", EACCES},
        {"a directory", dir, EACCES},
        {"not a program", dir / "text", ENOEXEC},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerRun run("", c.path);
        EXPECT_EQ(run.process.launch(), describeError(c.error));
        EXPECT_FALSE(run.process.isRunning());
        EXPECT_TRUE(run.process.waitUntilExit(0ms));
    }
    std::filesystem::remove_all(dir);
}

pid_t pidFrom(const std::filesystem::path& mark)
{
    long long when = 0;
    pid_t pid = 0;
    std::ifstream(mark) >> when >> pid;
    return pid;
}

TEST(PosixProcess, WaitEndsWhenTheServerDoesOrAtTheTimeout)
{
    auto mark = std::filesystem::temp_directory_path() / ("quillary-wait-" + std::to_string(::getpid()));
    ServerRun stubborn("ignore-term;mark:" + mark.string() + ";out:ready;wait");
    ASSERT_EQ(stubborn.process.launch(), std::nullopt);
    ASSERT_TRUE(stubborn.waitForOutput("ready"));
    pid_t pid = pidFrom(mark);
    ASSERT_GT(pid, 0);
    stubborn.process.terminate();
    EXPECT_FALSE(stubborn.process.waitUntilExit(200ms)) << "SIGTERM ignored";
    EXPECT_TRUE(stubborn.process.isRunning());

    ServerRun cooperative("wait");
    ASSERT_EQ(cooperative.process.launch(), std::nullopt);
    cooperative.process.terminate();
    EXPECT_TRUE(cooperative.process.waitUntilExit(scaled(5s)));
    EXPECT_FALSE(cooperative.process.isRunning());
    EXPECT_EQ(cooperative.wait(), SIGTERM);

    ::kill(pid, SIGKILL);
    EXPECT_EQ(stubborn.wait(), SIGKILL);
    std::filesystem::remove(mark);
}

// Once reaped, the server's PID can be handed to a new process at once;
// terminate must not signal that one. Needs leave to steer the next PID.
TEST(PosixProcess, TerminateAfterTheReapSignalsNobody)
{
    auto mark = std::filesystem::temp_directory_path() / ("quillary-reap-" + std::to_string(::getpid()));
    ServerRun run("mark:" + mark.string() + ";exit:0");
    ASSERT_EQ(run.process.launch(), std::nullopt);
    run.wait();
    pid_t old = pidFrom(mark);
    std::filesystem::remove(mark);
    ASSERT_GT(old, 1);

    std::ofstream nextPid("/proc/sys/kernel/ns_last_pid");
    if (!nextPid)
        GTEST_SKIP() << "cannot choose the next PID here";
    nextPid << old - 1 << std::flush;
    pid_t successor = fork();
    if (successor == 0) {
        pause();
        _exit(0);
    }
    if (successor != old) {
        ::kill(successor, SIGKILL);
        ::waitpid(successor, nullptr, 0);
        GTEST_SKIP() << "another process took the PID first";
    }

    run.process.terminate();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(::waitpid(successor, nullptr, WNOHANG), 0) << "the new holder of the PID was signalled";
    ::kill(successor, SIGKILL);
    ::waitpid(successor, nullptr, 0);
}

} // namespace
} // namespace quillary
