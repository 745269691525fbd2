// The X display's system tray, as its manager announces it: the owner of the
// selection _NET_SYSTEM_TRAY_S<screen>, which says so to the root window
// whenever it takes the selection. The XEmbed item is shown there.
#pragma once

#include <glib.h>
#include <xcb/xcb.h>

#include <functional>
#include <memory>

namespace quillary {

class XTray {
public:
    // A connection to the display named by DISPLAY, or null when there is
    // none (no DISPLAY, no X server, no libxcb).
    static std::unique_ptr<XTray> open();
    ~XTray();
    XTray(const XTray&) = delete;
    XTray& operator=(const XTray&) = delete;

    // Calls `onRunning` on the main context once a tray runs: at once if
    // one does now, else when one announces itself. It may destroy this.
    void whenRunning(std::function<void()> onRunning);

private:
    // libxcb is opened rather than linked, so that a launcher in a
    // StatusNotifierItem host's tray (or with no X display) never maps it.
    struct Functions;

    XTray(std::unique_ptr<Functions> functions, xcb_connection_t* connection, int screen);
    bool running();
    bool announced();
    static gboolean onEvents(int fd, GIOCondition condition, gpointer self);

    std::unique_ptr<Functions> xcb_;
    xcb_connection_t* connection_;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    xcb_atom_t selection_ = XCB_ATOM_NONE;
    xcb_atom_t manager_ = XCB_ATOM_NONE;
    guint watch_ = 0;
    std::function<void()> onRunning_;
};

} // namespace quillary
