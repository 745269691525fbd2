// The tray icon in an X tray that hosts no StatusNotifierItem (an XEmbed
// system tray: the owner of _NET_SYSTEM_TRAY_S<screen>). The icon itself is
// docked and drawn over libxcb; its menu is GTK's, from the XEmbed module,
// opened the first time the menu is, so that a launcher whose menu is never
// opened never maps GTK.
#pragma once

#include "platform/linux/activation.hh"
#include "platform/linux/tray/xembed/x_tray.hh"
#include "platform/linux/tray/xembed/xembed_icon.hh"
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
    // MenuAction of a chosen menu entry inside GTK's signal of the choice
    // (with the time of the click that chose it), and with
    // MenuAction::terminate when the display of a docked icon is lost (the
    // session is over): it hands the action on, and runs nothing there.
    XEmbedItem(std::filesystem::path module, std::function<void(MenuAction, Activation)> onAction);
    ~XEmbedItem(); // takes the icon out of the tray; the module stays loaded
    XEmbedItem(const XEmbedItem&) = delete;
    XEmbedItem& operator=(const XEmbedItem&) = delete;

    void setTitle(std::string title);
    void setMenu(const Menu& menu);

    // Shows the icon in the X tray: now if one runs, or once one starts.
    void show();
    // Takes the icon out of the tray, or stops waiting for one.
    void hide();

private:
    void onManager(xcb_window_t manager);
    void onLost();
    void popUp(int x, int y, std::uint32_t time);

    std::filesystem::path modulePath_;
    std::function<void(MenuAction, Activation)> onAction_;
    GModule* module_ = nullptr;
    std::unique_ptr<XTray> tray_;
    // From the first docking on: its display's loss ends the launcher.
    std::unique_ptr<XEmbedIcon> icon_;
    std::string title_;
    // The menu's entries in order; an empty title is a separator.
    std::vector<std::pair<std::string, MenuAction>> entries_;
};

} // namespace quillary
