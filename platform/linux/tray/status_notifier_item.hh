// The tray icon on Linux desktops: a StatusNotifierItem on the session bus,
// registered with the tray host's StatusNotifierWatcher, whose menu is a
// com.canonical.dbusmenu object that the host draws.
#pragma once

#include "platform/linux/tray/dbus_menu.hh"
#include "platform/linux/activation.hh"
#include "platform/linux/tray/exported_object.hh"
#include "platform/linux/tray/kept_token.hh"
#include "platform/linux/tray/watcher_presence.hh"
#include "platform/platform.hh"

#include <gio/gio.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace quillary {

// The tray icon and its menu, on the session bus: the part of the tray item
// (TrayItem, the seam's StatusItem) for StatusNotifierItem hosts.
class StatusNotifierItem final {
public:
    // The icon's name, and where its file is in an icon theme directory.
    static constexpr std::string_view kIconName = QUILLARY_PROGRAM "-tray";
    static constexpr std::string_view kIconFile = "hicolor/scalable/apps/" QUILLARY_PROGRAM "-tray.svg";

    // `connection`: the session bus. `iconThemePath`: the icon theme directory
    // our icon is installed in (such as <prefix>/share/icons), given to the
    // host, which looks the icon up there by name. `onAction`: called inside
    // the host's call with the MenuAction it asks for (a menu item clicked),
    // and the user's activation that came with it; it hands both on, and
    // runs nothing there.
    StatusNotifierItem(GDBusConnection* connection, std::filesystem::path iconThemePath,
                       std::function<void(MenuAction, Activation)> onAction);
    ~StatusNotifierItem(); // unexports everything, stops watching, releases the bus name
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    // As the seam's StatusItem has them: false when the symbol cannot be shown.
    bool setSymbolImage(std::string_view symbolName, std::string_view accessibilityDescription);
    void setTitle(std::string_view title);
    void setMenu(Menu menu);

    // Called on the main context with whether a host draws the item (a
    // watcher with a host registered): once the bus has answered, then at
    // each change.
    void setShownHandler(std::function<void(bool shown)> handler) { onShown_ = std::move(handler); }

private:
    // Asks for `action` with what the host gave for it: the click's
    // timestamp, and for an open the token kept, used up.
    void act(MenuAction action, std::uint32_t timestamp);
    void registerWithWatcher();
    void setItemTitle(std::string_view title);
    void call(std::string_view method, GVariant* parameters, GDBusMethodInvocation* invocation);
    GVariant* property(std::string_view name) const;

    GDBusConnection* connection_;
    std::filesystem::path iconThemeDirectory_;
    std::function<void(MenuAction, Activation)> onAction_;
    KeptToken token_;
    DBusMenu menu_;
    // Gone before the menu it names.
    ExportedObject object_;
    guint ownership_ = 0;
    std::function<void(bool shown)> onShown_;
    // Started once the item is exported; gone before it.
    std::unique_ptr<WatcherPresence> watcher_;
    std::string iconName_;
    std::string iconThemePath_;
    bool pixmaps_ = false; // IconPixmap holds our icon drawn
    std::string label_;
    std::string title_; // what names the item: its image's description, or its text
};

} // namespace quillary
