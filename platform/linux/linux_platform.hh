// The launcher on a Linux desktop: a GApplication whose menus and tray item
// are D-Bus objects. GTK is loaded only to show an alert, or the menu of the
// icon in an XEmbed tray.
#pragma once

#include "platform/linux/activation.hh"
#include "platform/linux/bus_guard.hh"
#include "platform/linux/main_queue.hh"
#include "platform/linux/alert/modal_alert.hh"
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
    // Every road's way to the two commands; see the definition.
    void activate(MenuAction action, Activation activation);
    void enableCommands(bool enabled);
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
    // What came with the request under way (a call from another process, a
    // tray click), until openURL takes it for the browser.
    Activation activation_;
    Termination termination_;
    GMenu* menubar_ = nullptr;
    guint menubarExport_ = 0;
    ModalAlert alert_;
};

} // namespace quillary
