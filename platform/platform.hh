// The one seam between the launcher and its desktop and operating system.
//
// The controller and the output road are written against these interfaces
// only. The process entry picks the implementation: the Linux adapter in
// production, the recording platform in the controller's tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillary {

// What a menu item does when chosen: `openUI` is the delegate's openUI,
// `terminate` the application's end through its one termination path.
enum class MenuAction { none, openUI, terminate };

struct MenuItem {
    std::string title;
    MenuAction action = MenuAction::none;
    // One lower-case letter used with the platform's default modifier
    // (Ctrl on Linux), or empty for no key equivalent.
    std::string keyEquivalent;
    bool separator = false;
    std::vector<MenuItem> submenu;

    static MenuItem command(std::string_view title, MenuAction action, std::string_view keyEquivalent)
    {
        MenuItem item;
        item.title = title;
        item.action = action;
        item.keyEquivalent = keyEquivalent;
        return item;
    }
    static MenuItem separatorItem()
    {
        MenuItem item;
        item.separator = true;
        return item;
    }
    bool operator==(const MenuItem&) const = default;
};

using Menu = std::vector<MenuItem>;

// Name to value, one value per name.
using Environment = std::map<std::string, std::string>;

enum class ActivationPolicy { regular };

enum class ExitStatus { success = 0, failure = 1 };

// The icon (or, where no icon can be had, the text) in the system tray,
// with its menu. It stays in the tray for as long as the object lives.
class StatusItem {
public:
    virtual ~StatusItem() = default;
    // Shows the named symbol image; false when the platform cannot supply it.
    virtual bool setSymbolImage(std::string_view symbolName, std::string_view accessibilityDescription) = 0;
    virtual void setTitle(std::string_view title) = 0;
    virtual void setMenu(Menu menu) = 0;
};

// The item of a desktop that has no tray or status bar to show one in.
class NoStatusItem final : public StatusItem {
public:
    bool setSymbolImage(std::string_view, std::string_view) override { return false; }
    void setTitle(std::string_view) override {}
    void setMenu(Menu) override {}
};

// One child process whose standard output and standard error go into one
// pipe. The handlers run on background threads of the object's own and must
// only hand their work on; neither is called once the object is destroyed.
class ServerProcess {
public:
    // Called with the bytes of each read of the pipe, in order, then once
    // with none at end of file.
    using OutputHandler = std::function<void(std::string_view bytes)>;
    // Called once after the process has ended and its output has been read to
    // end of file (or for a short bounded time, should a grandchild keep the
    // pipe open), so that every chunk is handed on before the exit is.
    // The argument is the termination status: the exit code, or the number
    // of the signal that ended the process; -1 when the system kept it from
    // us (another waiter in the process reaped it first), an end that is
    // not a success either.
    using TerminationHandler = std::function<void(int terminationStatus)>;

    virtual ~ServerProcess() = default;
    virtual void setExecutable(std::filesystem::path executable) = 0;
    virtual void setEnvironment(const Environment& environment) = 0;
    virtual void setOutputHandler(OutputHandler handler) = 0;
    virtual void setTerminationHandler(TerminationHandler handler) = 0;
    // Starts the process; on failure, the system's description of the error
    // in the user's language.
    virtual std::optional<std::string> launch() = 0;
    // The process's ID once launched, for the debug log; -1 before.
    virtual int processIdentifier() const = 0;
    // True from a successful launch until the process has ended; changes
    // whatever the calling thread is doing.
    virtual bool isRunning() const = 0;
    // Sends SIGTERM while the process has not been reaped, and SIGCONT, so
    // that a stopped process gets it too; never waits.
    virtual void terminate() = 0;
    // Waits until the process has ended and the termination handler has
    // returned, or the timeout has passed, on the monotonic clock; true if
    // the process has ended.
    virtual bool waitUntilExit(std::chrono::milliseconds timeout) = 0;
};

// What the application's controller receives from the platform. All of it
// arrives on the main thread.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) = 0;
    virtual void applicationWillTerminate() = 0;
    virtual void openUI() = 0;
};

class Platform {
public:
    virtual ~Platform() = default;

    // Ends the application: runs the delegate's applicationWillTerminate
    // once, then ends the process with the given status. Further requests
    // are ignored. Does not necessarily return at once to the caller, which
    // must do nothing more afterwards.
    virtual void terminate(ExitStatus status) = 0;
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    // The main menu: its first item's submenu is the application menu.
    virtual void setMainMenu(Menu menu) = 0;
    virtual std::unique_ptr<StatusItem> makeStatusItem() = 0;
    // Shows a modal alert with one button and returns once it is dismissed.
    // The main queue goes on meanwhile, in the alert's own loop: work queued
    // before and while it is up runs in order (the work that shows it is
    // then still running), so that the tray's menu works during the alert.
    virtual void runModalAlert(std::string_view messageText, std::string_view informativeText) = 0;
    // Hands the URL to the user's default handler for its scheme; the
    // outcome is not reported.
    virtual void openURL(std::string_view url) = 0;
    // Where the named resource shipped with the application is, if it exists.
    virtual std::optional<std::filesystem::path> resourcePath(std::string_view name) = 0;
    virtual Environment environment() = 0;
    // Runs the work later on the main thread, first in, first out, after the
    // callback running now has returned, or while it shows an alert (see
    // runModalAlert). Safe to call from any thread; never
    // waits for the main thread.
    virtual void async(std::function<void()> work) = 0;
    virtual std::unique_ptr<ServerProcess> makeServerProcess() = 0;
    // A line for whoever debugs the launcher: silent unless the desktop's
    // own way of asking for debug output asks for it. Never a file. Safe to
    // call from any thread.
    virtual void debugLog(std::string_view line) = 0;
};

// The one way an application ends, on every desktop. Whatever asks (a menu,
// a signal, a failure, the desktop itself) and however often, the end runs
// once: the main queue is closed first, so that no work queued runs once the
// end has begun, then the delegate's applicationWillTerminate (the server's
// SIGTERM and its grace). The exit status is 1 once a failure has been asked
// for, else 0. The controller asks for it when its alert is dismissed, and
// an adapter lets it ask even when the end began while the alert was up (the
// user quit from the tray meanwhile): a failure stays the status.
class Termination {
public:
    void asked(ExitStatus status) { failed_ = failed_ || status == ExitStatus::failure; }
    // Begins the end: false, and nothing done, if it has begun already.
    template <typename Queue>
    bool begin(Queue& mainQueue, ApplicationDelegate& delegate)
    {
        if (begun_)
            return false;
        begun_ = true;
        mainQueue.close();
        delegate.applicationWillTerminate();
        return true;
    }
    bool begun() const { return begun_; }
    ExitStatus status() const { return failed_ ? ExitStatus::failure : ExitStatus::success; }

private:
    bool failed_ = false;
    bool begun_ = false;
};

} // namespace quillary
