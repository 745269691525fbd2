// The tray menu as com.canonical.dbusmenu describes it: items numbered
// depth first from the root, 0, each with its properties, under a revision
// that changes with every new menu.
#pragma once

#include "platform/platform.hh"

#include <glib.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quillary {

class DBusMenuLayout {
public:
    // The property names asked for; every one when there are none.
    using Names = std::optional<std::set<std::string, std::less<>>>;

    DBusMenuLayout() { replace({}); }
    ~DBusMenuLayout();
    DBusMenuLayout(const DBusMenuLayout&) = delete;
    DBusMenuLayout& operator=(const DBusMenuLayout&) = delete;

    void replace(const Menu& menu);
    unsigned revision() const { return revision_; }
    // The ids are 0 to count() - 1.
    int count() const { return static_cast<int>(items_.size()); }
    bool contains(int id) const { return id >= 0 && id < count(); }
    MenuAction action(int id) const { return items_[id].action; }
    // The names of `asked` (an array of strings) that some item has: no more
    // than there are, however many a caller sends, and every name when it
    // sends none.
    Names known(GVariant* asked) const;

    // For an item that exists.
    GVariant* properties(int id, const Names& names) const;
    // `depth` −1 (or any negative) is the whole subtree, 0 the item alone.
    GVariant* layout(int id, int depth, const Names& names) const;
    // The item's property (a new reference), or null when it has none of
    // that name.
    GVariant* property(int id, const char* name) const;

private:
    // One entry of the menu; its id is its index in items_.
    struct Item {
        GVariant* properties = nullptr; // a{sv}, the layout's reference
        std::vector<int> children;
        MenuAction action = MenuAction::none;
    };

    void addItems(const Menu& menu, int parent);
    void clear();

    std::vector<Item> items_;
    std::set<std::string, std::less<>> propertyNames_; // of every item
    unsigned revision_ = 1;
};

} // namespace quillary
