// The launcher on a Linux desktop: a GApplication whose menus and tray item
// are D-Bus objects. GTK is loaded only to show an alert, or the menu of the
// icon in an XEmbed tray.
#pragma once

#include "platform/linux/activation.hh"
#include "platform/linux/bus_guard.hh"
#include "platform/linux/main_queue.hh"
#include "platform/linux/modal_alert.hh"
#include "platform/platform.hh"

#include <gio/gio.h>

#include <memory>

namespace quillary {

class LinuxPlatform final : public Platform {
public:
    LinuxPlatform();
    ~LinuxPlatform() override;
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    // Runs the application until it terminates; the process's exit status.
    // Launching the executable again while one runs hands the request to the
    // running one (the reopen) and returns 0.
    int run(ApplicationDelegate& delegate);

    void terminate(ExitStatus status) override;
    void setActivationPolicy(ActivationPolicy policy) override;
    void setMainMenu(Menu menu) override;
    std::unique_ptr<StatusItem> makeStatusItem() override;
    void runModalAlert(std::string_view messageText, std::string_view informativeText) override;
    void openURL(std::string_view url) override;
    std::optional<std::filesystem::path> resourcePath(std::string_view name) override;
    Environment environment() override;
    void async(std::function<void()> work) override;
    std::unique_ptr<ServerProcess> makeServerProcess() override;
    void debugLog(std::string_view line) override;

private:
    static void onStartup(GApplication* application, gpointer self);
    static void onActivate(GApplication* application, gpointer self);
    static void onOpen(GSimpleAction*, GVariant*, gpointer self);
    static void onQuit(GSimpleAction*, GVariant*, gpointer self);
    static gboolean onSignal(gpointer self);
    static void onEmit(Activation activation, gpointer self);
    // Does what the user asked for, with the activation that came with it,
    // which openURL takes for the browser.
    void perform(MenuAction action, Activation activation);
    void reopen(Activation activation);
    void dropActivation();

    // The directory the launcher's files are installed under: the parent of
    // the executable's own directory.
    std::filesystem::path prefix_;
    GApplication* application_;
    GDBusConnection* bus_ = nullptr; // the session bus, once registered, if there is one
    std::unique_ptr<BusGuard> busGuard_;
    ApplicationDelegate* delegate_ = nullptr;
    MainQueue queue_;
    bool launched_ = false;
    // What came with the call from another process being emitted now.
    Activation emitted_;
    // What came with the request being performed now, until openURL uses it.
    Activation current_;
    Termination termination_;
    GMenu* menubar_ = nullptr;
    guint menubarExport_ = 0;
    ModalAlert alert_;
};

} // namespace quillary
