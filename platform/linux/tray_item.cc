#include "platform/linux/tray_item.hh"

#include <string>
#include <utility>

namespace quillary {

TrayItem::TrayItem(GDBusConnection* connection, std::filesystem::path iconThemePath,
                   std::filesystem::path xembedModule, std::function<void(MenuAction)> onAction)
    : iconThemePath_(iconThemePath)
    , xembed_(std::move(xembedModule), onAction)
    , notifierItem_(connection, std::move(iconThemePath), std::move(onAction))
{
    // A watcher is asked first: its hosts draw the item without the launcher
    // loading anything. The X tray is looked for (and waited for) only while
    // no watcher is there; a watcher that comes takes the item over, its
    // registration sent before the XEmbed icon goes.
    notifierItem_.setWatcherHandler([this](bool present) {
        if (present)
            xembed_.hide();
        else
            xembed_.show();
    });
}

bool TrayItem::setSymbolImage(std::string_view symbolName, std::string_view accessibilityDescription)
{
    bool found = notifierItem_.setSymbolImage(symbolName, accessibilityDescription);
    xembed_.setTitle(std::string(accessibilityDescription));
    xembed_.setIcon(found ? (iconThemePath_ / StatusNotifierItem::kIconFile).string() : std::string());
    return found;
}

void TrayItem::setTitle(std::string_view title)
{
    notifierItem_.setTitle(title);
    xembed_.setTitle(std::string(title));
}

void TrayItem::setMenu(Menu menu)
{
    xembed_.setMenu(menu);
    notifierItem_.setMenu(std::move(menu));
}

} // namespace quillary
