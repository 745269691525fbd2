// The tray item on any Linux desktop: a StatusNotifierItem, registered with
// every watcher that is or comes on the session bus, and while there is none,
// an icon in the X display's XEmbed tray if one runs. Never both at once.
#pragma once

#include "platform/linux/status_notifier_item.hh"
#include "platform/linux/xembed_item.hh"
#include "platform/platform.hh"

#include <gio/gio.h>

#include <filesystem>
#include <functional>

namespace quillary {

class TrayItem final : public StatusItem {
public:
    // `iconThemePath` and `onAction` as for StatusNotifierItem; `xembedModule`:
    // the XEmbed module's file, opened only when its tray is the only one.
    TrayItem(GDBusConnection* connection, std::filesystem::path iconThemePath, std::filesystem::path xembedModule,
             std::function<void(MenuAction)> onAction);

    bool setSymbolImage(std::string_view symbolName, std::string_view accessibilityDescription) override;
    void setTitle(std::string_view title) override;
    void setMenu(Menu menu) override;

private:
    std::filesystem::path iconThemePath_;
    // Declared first, destroyed last: the watcher handler below uses it.
    XEmbedItem xembed_;
    StatusNotifierItem notifierItem_;
};

} // namespace quillary
