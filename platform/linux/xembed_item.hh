// The tray icon in an X tray that hosts no StatusNotifierItem (an XEmbed
// system tray: the owner of _NET_SYSTEM_TRAY_S<screen>). It is drawn by the
// XEmbed module, opened the first time the icon is shown, so that a launcher
// that never needs it never maps GTK.
#pragma once

#include "platform/linux/x_tray.hh"
#include "platform/platform.hh"

#include <gmodule.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillary {

class XEmbedItem final {
public:
    // `module`: the XEmbed module's file. `onAction`: called with the
    // MenuAction of a chosen menu entry inside GTK's signal of the choice:
    // it hands the action on, and runs nothing there.
    XEmbedItem(std::filesystem::path module, std::function<void(MenuAction)> onAction);
    ~XEmbedItem(); // takes the icon out of the tray; the module stays loaded
    XEmbedItem(const XEmbedItem&) = delete;
    XEmbedItem& operator=(const XEmbedItem&) = delete;

    // The icon's file, or empty for the title's first letter.
    void setIcon(std::string iconFile);
    void setTitle(std::string title);
    void setMenu(const Menu& menu);

    // Shows the icon in the X tray: now if one runs, or once one starts.
    // Nothing is loaded until then.
    void show();
    // Takes the icon out of the tray, or stops waiting for one.
    void hide();

private:
    void showNow();
    void update();

    std::filesystem::path modulePath_;
    std::function<void(MenuAction)> onAction_;
    GModule* module_ = nullptr;
    std::unique_ptr<XTray> waiting_; // for a tray to start
    bool shown_ = false;
    std::string iconFile_;
    // The tooltip, and the letter drawn when there is no icon.
    std::string title_;
    // The menu's entries in order; an empty title is a separator.
    std::vector<std::pair<std::string, MenuAction>> entries_;
};

} // namespace quillary
