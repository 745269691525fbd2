// The tray item's menu, served as a com.canonical.dbusmenu object (version 3),
// which the tray host reads and draws itself.
#pragma once

#include "platform/linux/exported_object.hh"
#include "platform/platform.hh"

#include <gio/gio.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillary {

class DBusMenu {
public:
    static constexpr const char* kObjectPath = "/MenuBar";

    // Exports an empty menu at kObjectPath on `connection`. `onAction` runs
    // on the main context of the thread that creates the object, in a
    // callback of its own: the host's click has been answered by then.
    DBusMenu(GDBusConnection* connection, std::function<void(MenuAction)> onAction);
    ~DBusMenu();
    DBusMenu(const DBusMenu&) = delete;
    DBusMenu& operator=(const DBusMenu&) = delete;

    // Replaces the menu and tells the hosts that the layout changed.
    void setMenu(const Menu& menu);

private:
    struct VariantUnref {
        void operator()(GVariant* value) const { g_variant_unref(value); }
    };
    using Variant = std::unique_ptr<GVariant, VariantUnref>;
    using Names = std::vector<std::string>;

    // One entry of the menu; its id is its index in items_, the root is 0.
    struct Item {
        std::map<std::string, Variant> properties;
        std::vector<int> children;
        MenuAction action = MenuAction::none;
    };

    void replaceItems(const Menu& menu);
    void addItems(const Menu& menu, int parent);
    bool contains(int id) const { return id >= 0 && static_cast<std::size_t>(id) < items_.size(); }
    GVariant* properties(int id, const Names& names) const;
    GVariant* layout(int id, int depth, const Names& names) const;
    bool handleEvent(int id, std::string_view eventId);
    void post(MenuAction action);

    static void onMethodCall(GDBusConnection*, const char* sender, const char* path, const char* interface,
                             const char* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                             gpointer self);
    static GVariant* onGetProperty(GDBusConnection*, const char* sender, const char* path, const char* interface,
                                   const char* name, GError** error, gpointer self);
    static const GDBusInterfaceVTable kVTable;

    GMainContext* context_;
    // Shared with the callbacks posted for clicks, which run it only while
    // the menu still exists.
    std::shared_ptr<std::function<void(MenuAction)>> onAction_;
    std::vector<Item> items_;
    unsigned revision_ = 1;
    ExportedObject object_;
};

} // namespace quillary
