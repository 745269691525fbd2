#include "platform/linux/xembed_item.hh"

#include "platform/linux/xembed_module.hh"

#include <string>
#include <utility>

namespace quillary {

XEmbedItem::XEmbedItem(std::filesystem::path module, std::function<void(MenuAction)> onAction)
    : modulePath_(std::move(module)), onAction_(std::move(onAction))
{
}

XEmbedItem::~XEmbedItem()
{
    hide();
}

void XEmbedItem::setIcon(std::string iconFile)
{
    iconFile_ = std::move(iconFile);
    update();
}

void XEmbedItem::setTitle(std::string title)
{
    title_ = std::move(title);
    update();
}

// The tray's menu is flat: submenus, which it never has, are left out.
void XEmbedItem::setMenu(const Menu& menu)
{
    entries_.clear();
    for (const MenuItem& item : menu)
        entries_.emplace_back(item.separator ? std::string() : item.title, item.action);
    update();
}

void XEmbedItem::show()
{
    if (shown_ || waiting_)
        return;
    waiting_ = XTray::open();
    if (waiting_)
        waiting_->whenRunning([this] { showNow(); });
}

void XEmbedItem::showNow()
{
    waiting_.reset();
    if (!module_)
        module_ = g_module_open(modulePath_.c_str(), G_MODULE_BIND_LOCAL);
    if (!module_) {
        g_message("No icon in the X tray: %s", g_module_error());
        return;
    }
    shown_ = true;
    update();
}

void XEmbedItem::hide()
{
    waiting_.reset();
    gpointer hideIcon = nullptr;
    if (shown_ && g_module_symbol(module_, "quillary_xembed_hide", &hideIcon))
        reinterpret_cast<QuillaryXEmbedHide>(hideIcon)();
    shown_ = false;
}

void XEmbedItem::update()
{
    gpointer showIcon = nullptr;
    if (!shown_ || !g_module_symbol(module_, "quillary_xembed_show", &showIcon))
        return;
    std::vector<const char*> labels;
    for (const auto& [title, action] : entries_)
        labels.push_back(title.empty() ? nullptr : title.c_str());
    auto chosen = [](int index, void* self) {
        auto& item = *static_cast<XEmbedItem*>(self);
        item.onAction_(item.entries_[static_cast<std::size_t>(index)].second);
    };
    if (reinterpret_cast<QuillaryXEmbedShow>(showIcon)(iconFile_.c_str(), title_.c_str(),
                                                       labels.data(), static_cast<int>(labels.size()), chosen,
                                                       this) != 0)
        shown_ = false;
}

} // namespace quillary
