// The launcher's icon in an XEmbed system tray, over libxcb alone: a window
// of our own, docked into the tray's manager with SYSTEM_TRAY_REQUEST_DOCK,
// drawn from the same pixels as the StatusNotifierItem's IconPixmap. No
// toolkit is loaded for it, so that an idle launcher in such a tray stays
// as light as in any other.
#pragma once

#include "platform/linux/tray/xembed/x_tray.hh"

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillary {

class XEmbedIcon {
public:
    // `onClick` with the pointer's place on the screen and the X server's
    // time when the icon is clicked, with the left button or the right.
    XEmbedIcon(XTray& tray, std::string title, std::function<void(int x, int y, std::uint32_t time)> onClick);
    ~XEmbedIcon(); // takes the icon out of the tray
    XEmbedIcon(const XEmbedIcon&) = delete;
    XEmbedIcon& operator=(const XEmbedIcon&) = delete;

    // Docks a new window into the tray that `manager` runs, in the visual
    // that tray asks for; the one docked before, if any, goes.
    void dock(xcb_window_t manager);
    // The window goes: its tray has gone.
    void undock();
    void setTitle(std::string title);
    // An event of the connection; those of other windows are ignored.
    void handle(const xcb_generic_event_t& event);

private:
    const xcb_visualtype_t* visual(xcb_visualid_t id, uint8_t& depth) const;
    void setProperty(const char* name, const char* type, int format, const void* data, std::size_t count);
    bool drawable(const xcb_visualtype_t& type) const;
    void draw();
    void put(const std::vector<std::uint32_t>& image);

    XTray& tray_;
    const XcbFunctions& xcb_;
    std::string title_;
    std::function<void(int, int, std::uint32_t)> onClick_;
    xcb_window_t window_ = XCB_WINDOW_NONE;
    xcb_gcontext_t gc_ = 0;
    xcb_colormap_t colormap_ = 0;
    uint8_t depth_ = 0;
    // Drawn with alpha in an ARGB visual; else over the tray's own
    // background, which the window shows (ParentRelative).
    bool argb_ = false;
    bool drawable_ = false;
    int width_ = 0, height_ = 0;
    std::vector<std::uint32_t> pixels_; // the icon at the size drawn last
    int pixelsSize_ = 0;
};

} // namespace quillary
