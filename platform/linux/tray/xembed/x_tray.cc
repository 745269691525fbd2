#include "platform/linux/tray/xembed/x_tray.hh"

#include <glib-unix.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace quillary {

std::unique_ptr<XTray> XTray::open()
{
    const char* display = g_getenv("DISPLAY");
    if (!display || !*display)
        return nullptr;
    auto xcb = XcbFunctions::load();
    int screen = 0;
    xcb_connection_t* connection = xcb ? xcb->connect(nullptr, &screen) : nullptr;
    if (!connection || xcb->connection_has_error(connection)) {
        if (connection)
            xcb->disconnect(connection);
        return nullptr;
    }
    auto tray = std::unique_ptr<XTray>(new XTray(std::move(xcb), connection, screen));
    if (!tray->screen_)
        return nullptr;
    g_debug("looking for an X tray on %s", display);
    return tray;
}

XTray::XTray(std::unique_ptr<XcbFunctions> functions, xcb_connection_t* connection, int screen)
    : xcb_(std::move(functions)), connection_(connection)
{
    xcb_screen_iterator_t roots = xcb_->setup_roots_iterator(xcb_->get_setup(connection_));
    for (int i = 0; i < screen && roots.rem; ++i)
        xcb_->screen_next(&roots);
    if (roots.rem)
        screen_ = roots.data;
    selection_ = atom("_NET_SYSTEM_TRAY_S" + std::to_string(screen));
    managerAtom_ = atom("MANAGER");
}

XTray::~XTray()
{
    if (watch_)
        g_source_remove(watch_);
    xcb_->disconnect(connection_);
}

xcb_atom_t XTray::atom(std::string_view name) const
{
    xcb_intern_atom_reply_t* reply = xcb_->intern_atom_reply(
        connection_, xcb_->intern_atom(connection_, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr);
    xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return value;
}

xcb_window_t XTray::owner() const
{
    xcb_get_selection_owner_reply_t* reply =
        xcb_->get_selection_owner_reply(connection_, xcb_->get_selection_owner(connection_, selection_), nullptr);
    xcb_window_t owner = reply ? reply->owner : xcb_window_t{XCB_WINDOW_NONE};
    std::free(reply);
    return owner;
}

void XTray::watch(std::function<void(xcb_window_t)> onManager, std::function<void(const xcb_generic_event_t&)> onEvent,
                  std::function<void()> onLost)
{
    onManager_ = std::move(onManager);
    onEvent_ = std::move(onEvent);
    onLost_ = std::move(onLost);
    // Listening first, then asking: a tray that starts in between is heard.
    uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_->change_window_attributes(connection_, screen_->root, XCB_CW_EVENT_MASK, &mask);
    watch_ = g_unix_fd_add(xcb_->get_file_descriptor(connection_), G_IO_IN, onEvents, this);
    if (xcb_window_t manager = owner())
        follow(manager);
    flush();
}

// A manager that dies before it is listened to would never be heard of:
// the owner is asked again once its end would be heard.
void XTray::follow(xcb_window_t manager)
{
    uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_->change_window_attributes(connection_, manager, XCB_CW_EVENT_MASK, &mask);
    manager_ = owner() == manager ? manager : xcb_window_t{XCB_WINDOW_NONE};
    if (manager_)
        onManager_(manager_);
}

void XTray::flush()
{
    xcb_->flush(connection_);
    dispatch();
}

void XTray::dispatch()
{
    // A handler's own requests flush and come back here: the outer loop
    // takes the events they bring.
    if (dispatching_ || !onLost_)
        return;
    dispatching_ = true;
    while (xcb_generic_event_t* event = xcb_->poll_for_event(connection_)) {
        uint8_t type = event->response_type & 0x7f;
        auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
        auto* destroyed = reinterpret_cast<xcb_destroy_notify_event_t*>(event);
        if (type == XCB_CLIENT_MESSAGE && message->window == screen_->root && message->type == managerAtom_) {
            if (message->data.data32[1] == selection_)
                follow(message->data.data32[2]);
        } else if (type == XCB_DESTROY_NOTIFY && manager_ && destroyed->window == manager_) {
            manager_ = XCB_WINDOW_NONE;
            onManager_(XCB_WINDOW_NONE);
        } else if (type != 0) { // errors (type 0) are of requests to windows gone meanwhile
            onEvent_(*event);
        }
        std::free(event);
    }
    dispatching_ = false;
    if (xcb_->connection_has_error(connection_)) {
        g_debug("the X display is gone");
        if (watch_)
            g_source_remove(watch_);
        watch_ = 0;
        std::exchange(onLost_, nullptr)();
    }
}

gboolean XTray::onEvents(int, GIOCondition, gpointer self)
{
    static_cast<XTray*>(self)->dispatch();
    return G_SOURCE_CONTINUE;
}

} // namespace quillary
