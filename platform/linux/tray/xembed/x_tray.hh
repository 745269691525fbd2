// The X display's system tray, as its manager announces it: the owner of the
// selection _NET_SYSTEM_TRAY_S<screen>, which says so to the root window
// whenever it takes the selection. One connection to the display, which the
// XEmbed icon is docked and drawn over too.
#pragma once

#include "platform/linux/xcb_functions.hh"

#include <glib.h>
#include <xcb/xcb.h>

#include <functional>
#include <memory>
#include <string_view>

namespace quillary {

class XTray {
public:
    // A connection to the display named by DISPLAY, or null when there is
    // none (no DISPLAY, no X server, no libxcb).
    static std::unique_ptr<XTray> open();
    ~XTray();
    XTray(const XTray&) = delete;
    XTray& operator=(const XTray&) = delete;

    // Follows the tray from now on, on the main context: `onManager` with
    // the manager's window at once if a tray runs, whenever another takes
    // over, and with XCB_WINDOW_NONE when it goes; `onEvent` with every
    // other event of the connection; `onLost` once when the connection
    // breaks (the X server went away), after which nothing is called. None
    // of them may destroy this.
    void watch(std::function<void(xcb_window_t manager)> onManager,
               std::function<void(const xcb_generic_event_t& event)> onEvent, std::function<void()> onLost);

    const XcbFunctions& xcb() const { return *xcb_; }
    xcb_connection_t* connection() const { return connection_; }
    const xcb_screen_t& screen() const { return *screen_; }
    xcb_atom_t atom(std::string_view name) const;
    // Sends what is queued, then handles whatever has come meanwhile: a
    // reply may bring events along, which libxcb then keeps in its queue,
    // where no readable socket will show them.
    void flush();

private:
    XTray(std::unique_ptr<XcbFunctions> functions, xcb_connection_t* connection, int screen);
    xcb_window_t owner() const;
    void follow(xcb_window_t manager);
    void dispatch();
    static gboolean onEvents(int fd, GIOCondition condition, gpointer self);

    std::unique_ptr<XcbFunctions> xcb_;
    xcb_connection_t* connection_;
    const xcb_screen_t* screen_ = nullptr;
    xcb_atom_t selection_ = XCB_ATOM_NONE;
    xcb_atom_t managerAtom_ = XCB_ATOM_NONE;
    xcb_window_t manager_ = XCB_WINDOW_NONE;
    guint watch_ = 0;
    bool dispatching_ = false;
    std::function<void(xcb_window_t)> onManager_;
    std::function<void(const xcb_generic_event_t&)> onEvent_;
    std::function<void()> onLost_;
};

} // namespace quillary
