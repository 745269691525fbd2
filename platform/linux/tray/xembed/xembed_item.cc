#include "platform/linux/tray/xembed/xembed_item.hh"

#include "platform/linux/tray/xembed/xembed_module.hh"

#include <string>
#include <utility>

namespace quillary {

XEmbedItem::XEmbedItem(std::filesystem::path module, std::function<void(MenuAction, Activation)> onAction)
    : modulePath_(std::move(module)), onAction_(std::move(onAction))
{
}

XEmbedItem::~XEmbedItem()
{
    hide();
}

void XEmbedItem::setTitle(std::string title)
{
    title_ = std::move(title);
    if (icon_)
        icon_->setTitle(title_);
}

// The tray's menu is flat: submenus, which it never has, are left out.
void XEmbedItem::setMenu(const Menu& menu)
{
    entries_.clear();
    for (const MenuItem& item : menu)
        entries_.emplace_back(item.separator ? std::string() : item.title, item.action);
}

void XEmbedItem::show()
{
    if (tray_)
        return;
    tray_ = XTray::open();
    if (tray_)
        tray_->watch([this](xcb_window_t manager) { onManager(manager); },
                     [this](const xcb_generic_event_t& event) {
                         if (icon_)
                             icon_->handle(event);
                     },
                     [this] { onLost(); });
}

void XEmbedItem::onManager(xcb_window_t manager)
{
    if (!manager) {
        if (icon_)
            icon_->undock();
        return;
    }
    if (!icon_)
        icon_ = std::make_unique<XEmbedIcon>(*tray_, title_,
                                              [this](int x, int y, std::uint32_t time) { popUp(x, y, time); });
    icon_->dock(manager);
}

// While the launcher only waits for a tray, the display may go and another
// come (a Wayland session's X server): it waits on without a tray. An icon
// that was docked goes with its session, as on the quit menu item.
void XEmbedItem::onLost()
{
    g_message("The X display of the tray went away");
    if (icon_)
        onAction_(MenuAction::terminate, {});
}

void XEmbedItem::popUp(int x, int y, std::uint32_t time)
{
    if (!module_)
        module_ = g_module_open(modulePath_.c_str(), G_MODULE_BIND_LOCAL);
    gpointer popUpMenu = nullptr;
    if (!module_ || !g_module_symbol(module_, "quillary_xembed_menu_pop_up", &popUpMenu)) {
        g_message("No menu for the X tray's icon: %s", g_module_error());
        return;
    }
    std::vector<const char*> labels;
    for (const auto& [title, action] : entries_)
        labels.push_back(title.empty() ? nullptr : title.c_str());
    auto chosen = [](int index, std::uint32_t time, void* self) {
        auto& item = *static_cast<XEmbedItem*>(self);
        item.onAction_(item.entries_[static_cast<std::size_t>(index)].second, {{}, time});
    };
    auto lost = [](void* self) { static_cast<XEmbedItem*>(self)->onAction_(MenuAction::terminate, {}); };
    if (reinterpret_cast<QuillaryXEmbedMenuPopUp>(popUpMenu)(labels.data(), static_cast<int>(labels.size()), x, y,
                                                              time, chosen, lost, this) != 0)
        g_message("No menu for the X tray's icon: GTK cannot be initialised");
}

void XEmbedItem::hide()
{
    gpointer closeMenu = nullptr;
    if (module_ && g_module_symbol(module_, "quillary_xembed_menu_close", &closeMenu))
        reinterpret_cast<QuillaryXEmbedMenuClose>(closeMenu)();
    icon_.reset();
    tray_.reset();
}

} // namespace quillary
