#include "platform/linux/x_tray.hh"

#include <glib-unix.h>
#include <gmodule.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace quillary {

// Each function of libxcb that is used here, with its own type.
#define QUILLARY_XCB_FUNCTIONS(F)                                                                                      \
    F(connect) F(connection_has_error) F(disconnect) F(get_setup) F(setup_roots_iterator) F(screen_next)               \
    F(intern_atom) F(intern_atom_reply) F(get_selection_owner) F(get_selection_owner_reply)                            \
    F(change_window_attributes) F(flush) F(get_file_descriptor) F(poll_for_event)

struct XTray::Functions {
#define QUILLARY_XCB_MEMBER(name) decltype(&xcb_##name) name = nullptr;
    QUILLARY_XCB_FUNCTIONS(QUILLARY_XCB_MEMBER)
#undef QUILLARY_XCB_MEMBER
};

std::unique_ptr<XTray> XTray::open()
{
    const char* display = g_getenv("DISPLAY");
    if (!display || !*display)
        return nullptr;
    GModule* module = g_module_open("libxcb.so.1", G_MODULE_BIND_LOCAL);
    if (!module)
        return nullptr;
    // Kept once opened: GTK maps it anyway when the icon is shown, and
    // ThreadSanitizer ends a process that unloads a library it was told of.
    g_module_make_resident(module);
    auto xcb = std::make_unique<Functions>();
    bool complete = true;
#define QUILLARY_XCB_LOOKUP(name)                                                                                      \
    complete = complete && g_module_symbol(module, "xcb_" #name, reinterpret_cast<gpointer*>(&xcb->name));
    QUILLARY_XCB_FUNCTIONS(QUILLARY_XCB_LOOKUP)
#undef QUILLARY_XCB_LOOKUP
    int screen = 0;
    xcb_connection_t* connection = complete ? xcb->connect(nullptr, &screen) : nullptr;
    if (!connection || xcb->connection_has_error(connection)) {
        if (connection)
            xcb->disconnect(connection);
        return nullptr;
    }
    return std::unique_ptr<XTray>(new XTray(std::move(xcb), connection, screen));
}

XTray::XTray(std::unique_ptr<Functions> functions, xcb_connection_t* connection, int screen)
    : xcb_(std::move(functions)), connection_(connection)
{
    xcb_screen_iterator_t roots = xcb_->setup_roots_iterator(xcb_->get_setup(connection_));
    for (int i = 0; i < screen && roots.rem; ++i)
        xcb_->screen_next(&roots);
    if (roots.rem)
        root_ = roots.data->root;
    auto atom = [this](const std::string& name) {
        xcb_intern_atom_reply_t* reply = xcb_->intern_atom_reply(
            connection_, xcb_->intern_atom(connection_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
        xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return value;
    };
    selection_ = atom("_NET_SYSTEM_TRAY_S" + std::to_string(screen));
    manager_ = atom("MANAGER");
}

XTray::~XTray()
{
    if (watch_)
        g_source_remove(watch_);
    xcb_->disconnect(connection_);
}

bool XTray::running()
{
    xcb_get_selection_owner_reply_t* owner =
        xcb_->get_selection_owner_reply(connection_, xcb_->get_selection_owner(connection_, selection_), nullptr);
    bool running = owner && owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    return running;
}

void XTray::whenRunning(std::function<void()> onRunning)
{
    if (root_ == XCB_WINDOW_NONE || selection_ == XCB_ATOM_NONE)
        return;
    onRunning_ = std::move(onRunning);
    // Listening first, then asking: a tray that starts in between is heard.
    if (!watch_) {
        uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_->change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
        xcb_->flush(connection_);
        watch_ = g_unix_fd_add(xcb_->get_file_descriptor(connection_), G_IO_IN, onEvents, this);
    }
    // The question's reply may bring the announcement along with it, which
    // libxcb then keeps in its queue, where no readable socket will show it.
    if (running() || announced()) {
        g_source_remove(watch_);
        watch_ = 0;
        std::exchange(onRunning_, nullptr)();
    }
}

// Whether the events read so far hold a tray's announcement.
bool XTray::announced()
{
    bool announced = false;
    while (xcb_generic_event_t* event = xcb_->poll_for_event(connection_)) {
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
            announced = announced || (message->type == manager_ && message->data.data32[1] == selection_);
        }
        std::free(event);
    }
    return announced;
}

gboolean XTray::onEvents(int, GIOCondition condition, gpointer data)
{
    auto& self = *static_cast<XTray*>(data);
    if (self.announced()) {
        self.watch_ = 0;
        // The last use of self: the handler may well destroy it.
        std::exchange(self.onRunning_, nullptr)();
        return G_SOURCE_REMOVE;
    }
    // The X server went away: no tray will come on this connection.
    if ((condition & (G_IO_HUP | G_IO_ERR)) || self.xcb_->connection_has_error(self.connection_)) {
        self.watch_ = 0;
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

} // namespace quillary
