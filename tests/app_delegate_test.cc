// The controller on the recording platform, with real server processes.
#include "app/texts.hh"
#include "platform/posix/posix_process.hh"
#include "tests/app_delegate_probe.hh"
#include "tests/recording_platform.hh"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>
#include <sstream>

namespace quillary {
namespace {

using namespace std::chrono_literals;
using testing::RecordingPlatform;
using testing::scaled;

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Launcher : public ::testing::Test {
protected:
    RecordingPlatform platform;
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(platform);
    std::filesystem::path scratch;

    void SetUp() override
    {
        platform.delegate = delegate.get();
        platform.resource = testing::fakeServerPath();
        platform.variables = {{"HOME", "/nowhere"}};
        scratch = std::filesystem::temp_directory_path() /
                  ("quillary-test-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(scratch);
        std::filesystem::create_directories(scratch);
    }
    void TearDown() override { std::filesystem::remove_all(scratch); }

    void launch(const std::string& script)
    {
        platform.variables["FAKE_SERVER"] = script;
        delegate->applicationDidFinishLaunching();
    }
    bool terminated() const { return !platform.terminations.empty(); }
    void runUntilTerminated() { ASSERT_TRUE(platform.runUntil([this] { return terminated(); })); }
    void runUntilPort() { ASSERT_TRUE(platform.runUntil([this] { return AppDelegateProbe::port(*delegate).has_value(); })); }
};

TEST_F(Launcher, NothingHappensAtCreation)
{
    EXPECT_TRUE(platform.calls.empty());
    EXPECT_FALSE(AppDelegateProbe::hasChild(*delegate));
    EXPECT_FALSE(AppDelegateProbe::hasStatusItem(*delegate));
    EXPECT_FALSE(AppDelegateProbe::port(*delegate));
    EXPECT_TRUE(AppDelegateProbe::tail(*delegate).empty());
    EXPECT_FALSE(AppDelegateProbe::quitting(*delegate));
}

TEST_F(Launcher, LaunchesInOrderWithBothMenus)
{
    launch("wait");
    EXPECT_EQ(platform.calls, (std::vector<std::string>{
                                  "setActivationPolicy", "setMainMenu", "makeStatusItem", "statusItem.setSymbolImage",
                                  "statusItem.setMenu", "resourcePath", "makeServerProcess", "environment"}));
    EXPECT_TRUE(AppDelegateProbe::hasChild(*delegate));
    EXPECT_TRUE(AppDelegateProbe::hasStatusItem(*delegate));

    auto command = MenuItem::command;
    MenuItem applicationMenuItem;
    applicationMenuItem.submenu = {command("Открыть Quillary", MenuAction::openUI, "o"), MenuItem::separatorItem(),
                                   command("Выйти из Quillary", MenuAction::terminate, "q")};
    EXPECT_EQ(platform.mainMenu, Menu{applicationMenuItem}) << "one item, its submenu the application menu";
    EXPECT_EQ(platform.statusMenu, (Menu{command("Открыть Quillary", MenuAction::openUI, ""), MenuItem::separatorItem(),
                                         command("Выйти из Quillary", MenuAction::terminate, "")}))
        << "the same commands without key equivalents";
    EXPECT_EQ(platform.statusSymbol, "arrow.down.circle");
    EXPECT_EQ(platform.statusTitle, "") << "an icon, no text";
    platform.terminate(ExitStatus::success);
}

TEST_F(Launcher, ShowsTheNameWhenTheIconCannotBeHad)
{
    platform.symbolAvailable = false;
    launch("wait");
    EXPECT_EQ(platform.statusTitle, "Quillary");
    platform.terminate(ExitStatus::success);
}

TEST_F(Launcher, MissingServerIsReportedOnceWithTheMenusInPlace)
{
    platform.resource.reset();
    launch("wait");
    ASSERT_EQ(platform.alerts.size(), 1u);
    EXPECT_EQ(platform.alerts[0].messageText, "Quillary не запустился");
    EXPECT_EQ(platform.alerts[0].informativeText, "Не найден встроенный сервер (quillary-bin).");
    EXPECT_EQ(std::count(platform.calls.begin(), platform.calls.end(), "makeServerProcess"), 0);
    EXPECT_LT(std::find(platform.calls.begin(), platform.calls.end(), "statusItem.setMenu"),
              std::find(platform.calls.begin(), platform.calls.end(), "runModalAlert"));
    EXPECT_EQ(platform.terminations, std::vector{ExitStatus::failure});
    EXPECT_TRUE(AppDelegateProbe::quitting(*delegate));
    EXPECT_FALSE(AppDelegateProbe::hasChild(*delegate));
}

TEST_F(Launcher, LaunchFailureIsReportedWithTheSystemsReason)
{
    struct Case {
        const char* name;
        std::function<std::filesystem::path()> make;
        int error;
    };
    const Case cases[] = {
        {"not executable",
         [&] {
             std::ofstream(scratch / "quillary-bin") << "#!/bin/sh\n";
             return scratch / "quillary-bin";
         },
         EACCES},
        {"a directory", [&] { std::filesystem::create_directory(scratch / "dir"); return scratch / "dir"; }, EACCES},
        {"not a program",
         [&] {
             std::ofstream(scratch / "text") << "just text\n";
             std::filesystem::permissions(scratch / "text", std::filesystem::perms::owner_all);
             return scratch / "text";
         },
         ENOEXEC},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPlatform platform;
        auto delegate = std::make_shared<AppDelegate>(platform);
        platform.delegate = delegate.get();
        platform.resource = c.make();
        delegate->applicationDidFinishLaunching();
        ASSERT_EQ(platform.alerts.size(), 1u);
        EXPECT_EQ(platform.alerts[0].informativeText, "Не удалось запустить сервер: " + describeError(c.error));
        EXPECT_FALSE(AppDelegateProbe::hasChild(*delegate));
        EXPECT_EQ(platform.terminations, std::vector{ExitStatus::failure});
    }
}

TEST_F(Launcher, ServerSeesItsVariableAndTheLaunchersEnvironment)
{
    platform.variables["QUILLARY_APP"] = "0";
    platform.variables["ODD"] = "a=b c\tд";
    launch("env;exit:0");
    runUntilTerminated();
    const auto& tail = AppDelegateProbe::tail(*delegate);
    std::set<std::string> seen(tail.begin(), tail.end());
    EXPECT_EQ(seen, (std::set<std::string>{"QUILLARY_APP=1", "ODD=a=b c\tд", "HOME=/nowhere",
                                           "FAKE_SERVER=env;exit:0"}));
}

TEST_F(Launcher, ServerExitIsHandledAsTheTableSays)
{
    struct Case {
        const char* name;
        std::string script;
        std::vector<std::string> alerts; // informative texts
        std::vector<ExitStatus> terminations;
    };
    const Case cases[] = {
        {"status 0 before the port", "out:a;exit:0", {}, {ExitStatus::success}},
        {"status 1 after the port", "out:порт 80;exit:1", {}, {ExitStatus::success}},
        {"killed after the port", "out:порт 80;kill:9", {}, {ExitStatus::success}},
        {"status 3 with six lines", "out:L1;out:L2;out:L3;out:L4;out:L5;out:L6;exit:3", {"L3\nL4\nL5\nL6"},
         {ExitStatus::failure}},
        {"two lines", "out:A;err:B;exit:3", {"A\nB"}, {ExitStatus::failure}},
        {"no line", "exit:3", {"Сервер завершился без сообщения."}, {ExitStatus::failure}},
        {"a line of one space is shown as it is", "out: ;exit:3", {" "}, {ExitStatus::failure}},
        {"killed by a signal before the port", "out:умираю;kill:9", {"умираю"}, {ExitStatus::failure}},
        {"announcement that does not convert", "out:порт 99999999999999999999;exit:2",
         {"порт 99999999999999999999"}, {ExitStatus::failure}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPlatform platform;
        auto delegate = std::make_shared<AppDelegate>(platform);
        platform.delegate = delegate.get();
        platform.resource = testing::fakeServerPath();
        platform.variables = {{"FAKE_SERVER", c.script}};
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(platform.runUntil([&] { return !platform.terminations.empty(); }));
        // Nothing more may come of the server's end.
        while (platform.runNextStep(50ms)) {
        }
        std::vector<std::string> texts;
        for (const auto& alert : platform.alerts) {
            EXPECT_EQ(alert.messageText, "Quillary не запустился");
            texts.push_back(alert.informativeText);
        }
        EXPECT_EQ(texts, c.alerts);
        EXPECT_EQ(platform.terminations, c.terminations);
    }
}

TEST_F(Launcher, ServerEndWhileQuittingChangesNothing)
{
    std::filesystem::path log = scratch / "term.log";
    launch("on-term-exit:" + log.string() + ";out:порт 80;wait");
    runUntilPort();
    platform.terminate(ExitStatus::success); // the user quits
    EXPECT_EQ(readFile(log), "TERM\n");
    while (platform.runNextStep(200ms)) {
    }
    EXPECT_TRUE(platform.alerts.empty());
    EXPECT_EQ(platform.terminations, std::vector{ExitStatus::success});
}

// A server that explains itself and exits at once must have its last words
// in the alert, however the reads and the exit race each other.
TEST_F(Launcher, FailureReportHoldsTheLastWordsEveryTime)
{
    for (int run = 0; run < 200; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        RecordingPlatform platform;
        auto delegate = std::make_shared<AppDelegate>(platform);
        platform.delegate = delegate.get();
        platform.resource = testing::fakeServerPath();
        platform.variables = {{"FAKE_SERVER", "out:one;err:two;out:three;err:four;out:five;exit:1"}};
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(platform.runUntil([&] { return !platform.alerts.empty(); }));
        ASSERT_EQ(platform.alerts[0].informativeText, "two\nthree\nfour\nfive");
    }
}

TEST_F(Launcher, OpensTheWebInterfaceOnlyOnceThePortIsKnown)
{
    launch("out:Quillary: веб-интерфейс слушает порт 41823;wait");
    delegate->openUI();
    EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
    EXPECT_TRUE(platform.openedURLs.empty()) << "nothing before the port";

    runUntilPort();
    EXPECT_TRUE(platform.openedURLs.empty()) << "learning the port opens nothing";
    delegate->openUI();
    delegate->openUI();
    EXPECT_FALSE(delegate->applicationShouldHandleReopen(true));
    EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
    EXPECT_EQ(platform.openedURLs, std::vector<std::string>(4, "http://localhost:41823"));
    EXPECT_TRUE(platform.alerts.empty());
    platform.terminate(ExitStatus::success);
}

TEST_F(Launcher, WebAddressIsTheHostAndTheDigitsOnly)
{
    launch("out:порт 0000443 и больше ничего;wait");
    runUntilPort();
    delegate->openUI();
    EXPECT_EQ(platform.openedURLs, std::vector<std::string>{"http://localhost:443"});
    platform.terminate(ExitStatus::success);
}

TEST_F(Launcher, ShutdownSignalsOnceAndWaitsBoundedly)
{
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* name;
        std::string script; // TERM is logged to $LOG
        bool signalled;
        std::chrono::milliseconds atLeast, atMost;
    };
    const Case cases[] = {
        {"cooperative", "on-term-exit:$LOG;out:порт 1;wait", true, 0ms, 1400ms},
        {"ignores SIGTERM", "on-term:$LOG;out:порт 1;wait", true, 1500ms, scaled(3000ms)},
        {"already ended", "on-term:$LOG;out:порт 1;exit:0", false, 0ms, 1400ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::path log = scratch / (std::string(c.name) + ".log");
        std::string script = c.script;
        script.replace(script.find("$LOG"), 4, log.string());

        RecordingPlatform platform;
        auto delegate = std::make_shared<AppDelegate>(platform);
        platform.delegate = delegate.get();
        platform.resource = testing::fakeServerPath();
        platform.variables = {{"FAKE_SERVER", script}};
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(platform.runUntil([&] { return AppDelegateProbe::port(*delegate).has_value(); }));
        if (!c.signalled) {
            ASSERT_TRUE(platform.runUntil([&] { return !platform.terminations.empty(); }));
        }

        auto start = Clock::now();
        delegate->applicationWillTerminate();
        auto waited = Clock::now() - start;
        EXPECT_TRUE(AppDelegateProbe::quitting(*delegate));
        EXPECT_GE(waited, c.atLeast);
        EXPECT_LE(waited, c.atMost);
        EXPECT_EQ(readFile(log), c.signalled ? "TERM\n" : "");
        EXPECT_TRUE(platform.alerts.empty());
    }
}

TEST_F(Launcher, ShutdownWithoutAServerOnlyMarksQuitting)
{
    platform.resource.reset();
    launch("wait");
    delegate->applicationWillTerminate();
    EXPECT_TRUE(AppDelegateProbe::quitting(*delegate));
    EXPECT_FALSE(AppDelegateProbe::hasChild(*delegate));
}

TEST_F(Launcher, WorkForAControllerThatIsGoneIsDropped)
{
    launch("out:порт 80;out:more;exit:1");
    // Let the output and the exit be queued while the controller still lives.
    auto deadline = std::chrono::steady_clock::now() + scaled(5s);
    while (platform.queuedSteps() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(platform.queuedSteps(), 2u);
    delegate.reset();
    platform.delegate = nullptr;
    // The queued output and exit find nobody and do nothing.
    while (platform.runNextStep(300ms)) {
    }
    EXPECT_TRUE(platform.alerts.empty());
    EXPECT_TRUE(platform.terminations.empty());
}

} // namespace
} // namespace quillary
