#include "platform/linux/tray/tray_item.hh"

#include <string>
#include <utility>

namespace quillary {

TrayItem::TrayItem(GDBusConnection* connection, MainQueue& queue, std::filesystem::path iconThemePath,
                   std::filesystem::path xembedModule, ActionHandler onAction)
    : queue_(queue)
    , onAction_(std::make_shared<const ActionHandler>(std::move(onAction)))
    , xembed_(std::move(xembedModule),
              [this](MenuAction action, Activation activation) { post(action, std::move(activation)); })
    , notifierItem_(connection, std::move(iconThemePath),
                    [this](MenuAction action, Activation activation) { post(action, std::move(activation)); })
{
    // A watcher is asked first: its hosts draw the item without the launcher
    // loading anything. The X tray is looked for (and waited for) only while
    // no host draws the item; a host that comes takes it over, registered
    // with its watcher before the XEmbed icon goes.
    notifierItem_.setShownHandler([this](bool shown) {
        if (shown)
            xembed_.hide();
        else
            xembed_.show();
    });
}

// A click runs after the call that brought it has returned, the host's or
// GTK's: "quit" keeps the main thread for up to the shutdown grace, and a
// host waiting for its reply meanwhile would time out and might take the
// item for dead.
void TrayItem::post(MenuAction action, Activation activation)
{
    queue_.async([onAction = std::weak_ptr(onAction_), action, activation = std::move(activation)] {
        // Held for the call: the action may well destroy the item.
        if (auto handler = onAction.lock())
            (*handler)(action, activation);
    });
}

bool TrayItem::setSymbolImage(std::string_view symbolName, std::string_view accessibilityDescription)
{
    // The XEmbed icon is drawn by the launcher, from no file: it is there
    // whatever the answer.
    xembed_.setTitle(std::string(accessibilityDescription));
    return notifierItem_.setSymbolImage(symbolName, accessibilityDescription);
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
