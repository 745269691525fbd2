#include "app/app_delegate.hh"

#include "app/alert_text.hh"
#include "app/texts.hh"

#include <string>

namespace quillary {

std::shared_ptr<AppDelegate> AppDelegate::create(Platform& platform)
{
    return std::shared_ptr<AppDelegate>(new AppDelegate(platform));
}

AppDelegate::AppDelegate(Platform& platform) : app(platform) {}

void AppDelegate::applicationDidFinishLaunching()
{
    app.setActivationPolicy(ActivationPolicy::regular);
    buildMenus();
    startServer();
}

void AppDelegate::buildMenus()
{
    MenuItem applicationMenuItem;
    // Desktops show the application menu under the application's name.
    applicationMenuItem.title = kAppName;
    applicationMenuItem.submenu = {
        MenuItem::command(kOpenTitle, MenuAction::openUI, kOpenKey),
        MenuItem::separatorItem(),
        MenuItem::command(kQuitTitle, MenuAction::terminate, kQuitKey),
    };
    app.setMainMenu({std::move(applicationMenuItem)});

    auto item = app.makeStatusItem();
    if (!item->setSymbolImage(kStatusSymbol, kAppName))
        item->setTitle(kAppName);
    // The tray's menu is the same without key equivalents.
    item->setMenu({
        MenuItem::command(kOpenTitle, MenuAction::openUI, ""),
        MenuItem::separatorItem(),
        MenuItem::command(kQuitTitle, MenuAction::terminate, ""),
    });
    statusItem = std::move(item);
}

void AppDelegate::openUI()
{
    // Before the server has announced its port there is nothing to open, and
    // the request is not remembered.
    if (!port)
        return;
    std::string url = std::string(kWebAddressPrefix) + std::to_string(*port);
    app.debugLog("opening " + url);
    app.openURL(url);
}

bool AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/)
{
    openUI();
    return false;
}

void AppDelegate::fail(std::string_view message)
{
    // Set before the alert exists: the server's end, handled while the alert
    // is up, must not terminate the application a second time.
    quitting = true;
    app.runModalAlert(kAlertHeadline, message.empty() ? std::string(kNoMessage) : alertText(message));
    app.terminate(ExitStatus::failure);
}

void AppDelegate::applicationWillTerminate()
{
    quitting = true;
    if (!child || !child->isRunning())
        return;
    // One SIGTERM and a bounded wait, never more: a server that outlives the
    // grace period is left to itself. Logged first: the server's end, logged
    // as it happens, may well come before this thread is back from the kill.
    app.debugLog("sending SIGTERM to the server, then waiting at most " + std::to_string(kShutdownGrace.count()) +
                 " ms");
    child->terminate();
    child->waitUntilExit(kShutdownGrace);
}

} // namespace quillary
