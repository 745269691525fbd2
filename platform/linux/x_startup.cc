#include "platform/linux/x_startup.hh"

#include "platform/linux/xcb_functions.hh"

#include <glib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace quillary {

namespace {

// Within this of the server's time now, a click time is taken as the
// server's own.
constexpr std::uint32_t kClickAge = 60000; // ms

// One short connection, and an unmapped window of ours on it: what the
// server's time is read from, and what startup messages say they are from.
class XConnection {
public:
    XConnection() : xcb_(XcbFunctions::load())
    {
        int screen = 0;
        connection_ = xcb_ ? xcb_->connect(nullptr, &screen) : nullptr;
        if (!connection_ || xcb_->connection_has_error(connection_))
            return;
        xcb_screen_iterator_t roots = xcb_->setup_roots_iterator(xcb_->get_setup(connection_));
        for (int i = 0; i < screen && roots.rem; ++i)
            xcb_->screen_next(&roots);
        if (!roots.rem)
            return;
        root_ = roots.data->root;
        window_ = xcb_->generate_id(connection_);
        const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_->create_window(connection_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 1, 1, 0,
                            XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    }
    ~XConnection()
    {
        if (connection_)
            xcb_->disconnect(connection_); // the window goes with it
    }
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    bool ok() const { return window_ != XCB_WINDOW_NONE; }

    xcb_atom_t atom(std::string_view name)
    {
        xcb_intern_atom_reply_t* reply = xcb_->intern_atom_reply(
            connection_, xcb_->intern_atom(connection_, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr);
        xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return value;
    }

    // The server stamps the change of a property with its time: appending
    // nothing to one of our window's is the change that changes nothing.
    std::uint32_t now()
    {
        xcb_->change_property(connection_, XCB_PROP_MODE_APPEND, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0,
                              "");
        xcb_->flush(connection_);
        while (xcb_generic_event_t* event = xcb_->wait_for_event(connection_)) {
            bool notified = (event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY;
            std::uint32_t time = reinterpret_cast<xcb_property_notify_event_t*>(event)->time;
            std::free(event);
            if (notified)
                return time;
        }
        return XCB_CURRENT_TIME; // the connection broke
    }

    // A message of the startup-notification protocol: in pieces of 20 bytes
    // to the root window, the first of one type, the rest of another, the
    // last holding its terminating NUL.
    void broadcast(const std::string& message)
    {
        xcb_client_message_event_t piece{};
        piece.response_type = XCB_CLIENT_MESSAGE;
        piece.format = 8;
        piece.window = window_;
        piece.type = atom("_NET_STARTUP_INFO_BEGIN");
        xcb_atom_t more = atom("_NET_STARTUP_INFO");
        for (std::size_t at = 0; at <= message.size(); at += 20) {
            std::memset(piece.data.data8, 0, 20);
            std::memcpy(piece.data.data8, message.data() + at, std::min<std::size_t>(20, message.size() - at));
            xcb_->send_event(connection_, 0, root_, XCB_EVENT_MASK_PROPERTY_CHANGE,
                             reinterpret_cast<const char*>(&piece));
            piece.type = more;
        }
        // A reply, so that every piece is sent before the connection closes.
        atom("_NET_STARTUP_INFO");
    }

private:
    std::unique_ptr<XcbFunctions> xcb_;
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    xcb_window_t window_ = XCB_WINDOW_NONE;
};

} // namespace

bool isX11Session()
{
    const char* display = g_getenv("DISPLAY");
    const char* wayland = g_getenv("WAYLAND_DISPLAY");
    return display && *display && !(wayland && *wayland);
}

std::string startupIdAt(std::uint32_t userTime)
{
    XConnection x;
    if (!x.ok())
        return {};
    std::uint32_t now = x.now();
    // Unsigned: a time "after" now is a wrapped age, far beyond the limit.
    std::uint32_t time = userTime && now - userTime < kClickAge ? userTime : now;
    static unsigned count = 0;
    return std::string(QUILLARY_PROGRAM "-") + std::to_string(::getpid()) + "-" + std::to_string(++count) + "_TIME" +
           std::to_string(time);
}

void endStartup(const std::string& id)
{
    if (id.empty() || !isX11Session())
        return;
    XConnection x;
    if (!x.ok())
        return;
    std::string quoted;
    for (char c : id) {
        if (c == '"' || c == '\\')
            quoted.push_back('\\');
        quoted.push_back(c);
    }
    x.broadcast("remove: ID=\"" + quoted + "\"");
}

} // namespace quillary
