#include "platform/linux/dbus_menu_layout.hh"

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

void DBusMenuLayout::replace(const Menu& menu)
{
    items_.clear();
    items_.emplace_back();
    items_[0].properties.emplace("children-display", g_variant_ref_sink(g_variant_new_string("submenu")));
    addItems(menu, 0);
    propertyNames_.clear();
    for (const Item& item : items_) {
        for (const auto& [name, value] : item.properties)
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
        Item item;
        auto set = [&item](const char* name, GVariant* value) {
            item.properties.emplace(name, g_variant_ref_sink(value));
        };
        if (entry.separator) {
            set("type", g_variant_new_string("separator"));
        } else {
            // The key equivalent is left out: the tray's menus have none.
            // A D-Bus string must be UTF-8: GLib would refuse the whole value.
            std::string label = escapeMnemonics(entry.title);
            auto size = static_cast<gssize>(label.size());
            set("label", g_variant_new_take_string(g_utf8_make_valid(label.data(), size)));
            set("enabled", g_variant_new_boolean(true));
            set("visible", g_variant_new_boolean(true));
            if (!entry.submenu.empty())
                set("children-display", g_variant_new_string("submenu"));
            item.action = entry.action;
        }
        items_.push_back(std::move(item));
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
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    for (const auto& [name, value] : items_[id].properties) {
        if (!names || names->count(name))
            g_variant_builder_add(&builder, "{sv}", name.c_str(), value.get());
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

GVariant* DBusMenuLayout::property(int id, const std::string& name) const
{
    auto found = items_[id].properties.find(name);
    return found == items_[id].properties.end() ? nullptr : found->second.get();
}

} // namespace quillary
