#include "platform/linux/tray/dbus_menu_layout.hh"

#include <string_view>
#include <utility>

namespace quillary {

namespace {

// In this protocol a '_' marks the next character as the access key, and
// "__" stands for one '_'. Our titles have no access keys.
std::string escapeMnemonics(std::string_view title)
{
    std::string label;
    for (char c : title) {
        if (c == '_')
            label += '_';
        label += c;
    }
    return label;
}

} // namespace

DBusMenuLayout::~DBusMenuLayout()
{
    clear();
}

void DBusMenuLayout::clear()
{
    for (Item& item : items_)
        g_clear_pointer(&item.properties, g_variant_unref);
    items_.clear();
}

void DBusMenuLayout::replace(const Menu& menu)
{
    clear();
    GVariantDict root;
    g_variant_dict_init(&root, nullptr);
    g_variant_dict_insert(&root, "children-display", "s", "submenu");
    items_.push_back({g_variant_ref_sink(g_variant_dict_end(&root)), {}, MenuAction::none});
    addItems(menu, 0);
    propertyNames_.clear();
    for (const Item& item : items_) {
        GVariantIter iter;
        g_variant_iter_init(&iter, item.properties);
        const char* name;
        while (g_variant_iter_next(&iter, "{&sv}", &name, nullptr))
            propertyNames_.insert(name);
    }
    // A host that has read an earlier layout drops it and asks again.
    ++revision_;
}

// Numbers the items depth first, in menu order, after those already there.
void DBusMenuLayout::addItems(const Menu& menu, int parent)
{
    for (const MenuItem& entry : menu) {
        int id = static_cast<int>(items_.size());
        items_[parent].children.push_back(id);
        GVariantDict properties;
        g_variant_dict_init(&properties, nullptr);
        if (entry.separator) {
            g_variant_dict_insert(&properties, "type", "s", "separator");
        } else {
            // The key equivalent is left out: the tray's menus have none.
            // A D-Bus string must be UTF-8: GLib would refuse the whole value.
            std::string label = escapeMnemonics(entry.title);
            g_autofree char* valid = g_utf8_make_valid(label.data(), static_cast<gssize>(label.size()));
            g_variant_dict_insert(&properties, "label", "s", valid);
            g_variant_dict_insert(&properties, "enabled", "b", true);
            g_variant_dict_insert(&properties, "visible", "b", true);
            if (!entry.submenu.empty())
                g_variant_dict_insert(&properties, "children-display", "s", "submenu");
        }
        items_.push_back({g_variant_ref_sink(g_variant_dict_end(&properties)), {},
                          entry.separator ? MenuAction::none : entry.action});
        addItems(entry.submenu, id);
    }
}

DBusMenuLayout::Names DBusMenuLayout::known(GVariant* asked) const
{
    if (g_variant_n_children(asked) == 0)
        return std::nullopt;
    Names names{std::in_place};
    GVariantIter iter;
    g_variant_iter_init(&iter, asked);
    const char* name;
    while (g_variant_iter_next(&iter, "&s", &name)) {
        auto found = propertyNames_.find(std::string_view(name));
        if (found != propertyNames_.end())
            names->insert(*found);
    }
    return names;
}

GVariant* DBusMenuLayout::properties(int id, const Names& names) const
{
    if (!names)
        return items_[id].properties;
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    for (const std::string& name : *names) {
        g_autoptr(GVariant) value = property(id, name.c_str());
        if (value)
            g_variant_builder_add(&builder, "{sv}", name.c_str(), value);
    }
    return g_variant_builder_end(&builder);
}

GVariant* DBusMenuLayout::layout(int id, int depth, const Names& names) const
{
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    if (depth != 0) {
        for (int child : items_[id].children)
            g_variant_builder_add(&children, "v", layout(child, depth - 1, names));
    }
    return g_variant_new("(i@a{sv}av)", id, properties(id, names), &children);
}

GVariant* DBusMenuLayout::property(int id, const char* name) const
{
    return g_variant_lookup_value(items_[id].properties, name, nullptr);
}

} // namespace quillary
