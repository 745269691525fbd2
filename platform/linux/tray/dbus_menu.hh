// The tray item's menu, served as a com.canonical.dbusmenu object (version 3),
// which the tray host reads and draws itself.
#pragma once

#include "platform/linux/tray/dbus_menu_layout.hh"
#include "platform/linux/tray/exported_object.hh"
#include "platform/platform.hh"

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <string_view>

namespace quillary {

class DBusMenu {
public:
    static constexpr const char* kObjectPath = "/MenuBar";

    // Called with the MenuAction of a clicked item and the click's timestamp
    // as the host gives it (0 for none) inside the host's call, before it is
    // answered: it hands the action on, and runs nothing there.
    using ActionHandler = std::function<void(MenuAction action, std::uint32_t timestamp)>;

    // Exports an empty menu at kObjectPath on `connection`.
    DBusMenu(GDBusConnection* connection, ActionHandler onAction);
    DBusMenu(const DBusMenu&) = delete;
    DBusMenu& operator=(const DBusMenu&) = delete;

    // Replaces the menu and tells the hosts that the layout changed.
    void setMenu(const Menu& menu);
    // Does what a click on the menu's first entry does, as that click does
    // it: for a host that activates an item that is all menu.
    void activate();

private:
    MenuAction actionOf(int id, std::string_view eventId) const;

    using Method = void (DBusMenu::*)(GVariant* parameters, GDBusMethodInvocation* invocation);
    void handleGetLayout(GVariant* parameters, GDBusMethodInvocation* invocation);
    void handleGetGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation);
    void handleGetProperty(GVariant* parameters, GDBusMethodInvocation* invocation);
    void handleEvent(GVariant* parameters, GDBusMethodInvocation* invocation);
    void handleEventGroup(GVariant* parameters, GDBusMethodInvocation* invocation);
    void handleAboutToShow(GVariant* parameters, GDBusMethodInvocation* invocation);
    void handleAboutToShowGroup(GVariant* parameters, GDBusMethodInvocation* invocation);

    void call(std::string_view method, GVariant* parameters, GDBusMethodInvocation* invocation);

    ActionHandler onAction_;
    DBusMenuLayout layout_;
    ExportedObject object_;
};

} // namespace quillary
