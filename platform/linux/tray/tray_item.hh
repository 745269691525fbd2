// The tray item on any Linux desktop: a StatusNotifierItem, registered with
// every watcher that is or comes on the session bus, and while no host of a
// watcher draws it, an icon in the X display's XEmbed tray if one runs.
// Never both at once.
#pragma once

#include "platform/linux/main_queue.hh"
#include "platform/linux/tray/status_notifier_item.hh"
#include "platform/linux/tray/xembed/xembed_item.hh"
#include "platform/platform.hh"

#include <gio/gio.h>

#include <filesystem>
#include <functional>
#include <memory>

namespace quillary {

class TrayItem final : public StatusItem {
public:
    // `iconThemePath` as for StatusNotifierItem; `xembedModule`: the XEmbed
    // module's file, opened only when its tray is the only one. `onAction`
    // runs through `queue` with the MenuAction of a menu entry clicked, in
    // either menu, and the user's activation that came with the click, and
    // only while this item lives.
    using ActionHandler = std::function<void(MenuAction, Activation)>;
    TrayItem(GDBusConnection* connection, MainQueue& queue, std::filesystem::path iconThemePath,
             std::filesystem::path xembedModule, ActionHandler onAction);

    bool setSymbolImage(std::string_view symbolName, std::string_view accessibilityDescription) override;
    void setTitle(std::string_view title) override;
    void setMenu(Menu menu) override;

private:
    void post(MenuAction action, Activation activation);

    MainQueue& queue_;
    // Shared with the clicks queued, which run it only while the item still
    // exists.
    std::shared_ptr<const ActionHandler> onAction_;
    // Declared before the notifier item, destroyed after it: that item's
    // shown handler uses it.
    XEmbedItem xembed_;
    StatusNotifierItem notifierItem_;
};

} // namespace quillary
