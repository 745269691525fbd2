#include "platform/linux/menu_model.hh"

#include <algorithm>
#include <string>

namespace quillary {

namespace {

// "o" with the platform's default modifier, as GTK writes accelerators.
std::string accelerator(std::string_view keyEquivalent)
{
    return "<Primary>" + std::string(keyEquivalent);
}

GMenuItem* menuEntry(const MenuItem& item)
{
    GMenuItem* entry = g_menu_item_new(item.title.c_str(), nullptr);
    if (!item.submenu.empty()) {
        g_autoptr(GMenu) submenu = menuModel(item.submenu);
        g_menu_item_set_submenu(entry, G_MENU_MODEL(submenu));
    }
    if (const char* action = actionName(item.action))
        g_menu_item_set_detailed_action(entry, ("app." + std::string(action)).c_str());
    if (!item.keyEquivalent.empty())
        g_menu_item_set_attribute(entry, "accel", "s", accelerator(item.keyEquivalent).c_str());
    return entry;
}

} // namespace

const char* actionName(MenuAction action)
{
    switch (action) {
    case MenuAction::openUI:
        return "open";
    case MenuAction::terminate:
        return "quit";
    case MenuAction::none:
        break;
    }
    return nullptr;
}

// Menu models draw separators between sections: with separators, the runs of
// items between them become sections.
GMenu* menuModel(const Menu& menu)
{
    GMenu* model = g_menu_new();
    bool sectioned = std::any_of(menu.begin(), menu.end(), [](const MenuItem& item) { return item.separator; });
    g_autoptr(GMenu) section = sectioned ? g_menu_new() : G_MENU(g_object_ref(model));
    auto closeSection = [&] {
        if (sectioned && g_menu_model_get_n_items(G_MENU_MODEL(section)) > 0)
            g_menu_append_section(model, nullptr, G_MENU_MODEL(section));
        g_clear_object(&section);
    };
    for (const MenuItem& item : menu) {
        if (item.separator) {
            closeSection();
            section = g_menu_new();
            continue;
        }
        g_autoptr(GMenuItem) entry = menuEntry(item);
        g_menu_append_item(section, entry);
    }
    closeSection();
    return model;
}

} // namespace quillary
