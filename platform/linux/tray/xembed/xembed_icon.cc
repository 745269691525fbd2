#include "platform/linux/tray/xembed/xembed_icon.hh"

#include "platform/linux/tray/icon_pixmaps.hh"

#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quillary {

namespace {

// Until the tray says otherwise: the usual height of a panel's icons.
constexpr uint16_t kStartSize = 22;
constexpr uint32_t kSystemTrayRequestDock = 0;
constexpr uint32_t kXEmbedMapped = 1;
constexpr char kClass[] = QUILLARY_PROGRAM "\0" QUILLARY_PROGRAM; // WM_CLASS: instance and class
constexpr uint32_t kEvents = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                             XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE;

// Each 8-bit channel of `over`, premultiplied, over the opaque `under`.
uint32_t over(uint32_t pixel, uint32_t under)
{
    uint32_t rest = 255 - (pixel >> 24), result = 0xff000000;
    for (int shift : {16, 8, 0})
        result |= std::min<uint32_t>(255, (pixel >> shift & 0xff) + ((under >> shift & 0xff) * rest + 127) / 255)
                  << shift;
    return result;
}

} // namespace

XEmbedIcon::XEmbedIcon(XTray& tray, std::string title, std::function<void(int, int, std::uint32_t)> onClick)
    : tray_(tray), xcb_(tray.xcb()), title_(std::move(title)), onClick_(std::move(onClick))
{
}

XEmbedIcon::~XEmbedIcon()
{
    undock();
}

const xcb_visualtype_t* XEmbedIcon::visual(xcb_visualid_t id, uint8_t& depth) const
{
    for (auto depths = xcb_.screen_allowed_depths_iterator(&tray_.screen()); depths.rem; xcb_.depth_next(&depths)) {
        for (auto visuals = xcb_.depth_visuals_iterator(depths.data); visuals.rem; xcb_.visualtype_next(&visuals)) {
            if (visuals.data->visual_id == id) {
                depth = depths.data->depth;
                return visuals.data;
            }
        }
    }
    return nullptr;
}

void XEmbedIcon::setProperty(const char* name, const char* type, int format, const void* data, std::size_t count)
{
    xcb_.change_property(tray_.connection(), XCB_PROP_MODE_REPLACE, window_, tray_.atom(name), tray_.atom(type),
                         static_cast<uint8_t>(format), static_cast<uint32_t>(count), data);
}

// The tray names the visual its icons should have (_NET_SYSTEM_TRAY_VISUAL):
// one with alpha where it composites them. Otherwise the icon has the
// screen's own visual and shows the tray's background, and is drawn over
// that.
void XEmbedIcon::dock(xcb_window_t manager)
{
    undock();
    xcb_connection_t* connection = tray_.connection();
    const xcb_screen_t& screen = tray_.screen();
    xcb_visualid_t visualId = screen.root_visual;
    xcb_get_property_reply_t* asked = xcb_.get_property_reply(
        connection, xcb_.get_property(connection, 0, manager, tray_.atom("_NET_SYSTEM_TRAY_VISUAL"), XCB_ATOM_VISUALID, 0, 1),
        nullptr);
    if (asked && asked->format == 32 && xcb_.get_property_value_length(asked) == 4)
        visualId = *static_cast<xcb_visualid_t*>(xcb_.get_property_value(asked));
    std::free(asked);
    const xcb_visualtype_t* type = visual(visualId, depth_);
    argb_ = type && depth_ == 32;
    if (!argb_) {
        visualId = screen.root_visual;
        type = visual(visualId, depth_);
    }
    drawable_ = type && drawable(*type);

    window_ = xcb_.generate_id(connection);
    width_ = height_ = kStartSize;
    if (argb_) {
        colormap_ = xcb_.generate_id(connection);
        xcb_.create_colormap(connection, XCB_COLORMAP_ALLOC_NONE, colormap_, screen.root, visualId);
        const uint32_t values[] = {0, 0, kEvents, colormap_}; // transparent, no border
        xcb_.create_window(connection, depth_, window_, screen.root, 0, 0, kStartSize, kStartSize, 0,
                           XCB_WINDOW_CLASS_INPUT_OUTPUT, visualId,
                           XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_EVENT_MASK | XCB_CW_COLORMAP, values);
    } else {
        const uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, kEvents};
        xcb_.create_window(connection, XCB_COPY_FROM_PARENT, window_, screen.root, 0, 0, kStartSize, kStartSize, 0,
                           XCB_WINDOW_CLASS_INPUT_OUTPUT, visualId, XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK, values);
    }
    gc_ = xcb_.generate_id(connection);
    xcb_.create_gc(connection, gc_, window_, 0, nullptr);
    const uint32_t info[] = {0, kXEmbedMapped}; // XEmbed version 0; the tray maps it
    setProperty("_XEMBED_INFO", "_XEMBED_INFO", 32, info, 2);
    setProperty("WM_CLASS", "STRING", 8, kClass, sizeof kClass);
    // The size the icon asks for (as WM_SIZE_HINTS: PMinSize, PBaseSize):
    // trays that embed it with a GtkSocket give it 1×1 without.
    uint32_t hints[18] = {1 << 4 | 1 << 8};
    hints[5] = hints[6] = hints[15] = hints[16] = kStartSize;
    setProperty("WM_NORMAL_HINTS", "WM_SIZE_HINTS", 32, hints, 18);
    setTitle(std::move(title_));

    xcb_client_message_event_t request{};
    request.response_type = XCB_CLIENT_MESSAGE;
    request.format = 32;
    request.window = manager;
    request.type = tray_.atom("_NET_SYSTEM_TRAY_OPCODE");
    request.data.data32[0] = XCB_CURRENT_TIME;
    request.data.data32[1] = kSystemTrayRequestDock;
    request.data.data32[2] = window_;
    xcb_.send_event(connection, 0, manager, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&request));
    tray_.flush();
}

void XEmbedIcon::undock()
{
    if (!window_)
        return;
    xcb_.free_gc(tray_.connection(), gc_);
    xcb_.destroy_window(tray_.connection(), window_);
    if (colormap_)
        xcb_.free_colormap(tray_.connection(), colormap_);
    window_ = XCB_WINDOW_NONE;
    colormap_ = 0;
    tray_.flush();
}

void XEmbedIcon::setTitle(std::string title)
{
    title_ = std::move(title);
    if (!window_)
        return;
    for (const char* name : {"_NET_WM_NAME", "WM_NAME"})
        setProperty(name, "UTF8_STRING", 8, title_.data(), title_.size());
    tray_.flush();
}

// The tray sizes the window to its own icons. A resize clears the window
// and exposes all of it (the bit gravity is Forget), so the icon is drawn
// at its new size on the Expose that follows the ConfigureNotify.
void XEmbedIcon::handle(const xcb_generic_event_t& event)
{
    switch (event.response_type & 0x7f) {
    case XCB_EXPOSE: {
        const auto& exposed = reinterpret_cast<const xcb_expose_event_t&>(event);
        if (exposed.window == window_ && exposed.count == 0)
            draw();
        break;
    }
    case XCB_CONFIGURE_NOTIFY: {
        const auto& configured = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        if (configured.window == window_) {
            width_ = configured.width;
            height_ = configured.height;
        }
        break;
    }
    case XCB_BUTTON_RELEASE: {
        // On the release, once the pointer is no longer held by this
        // connection: the menu takes it next.
        const auto& released = reinterpret_cast<const xcb_button_release_event_t&>(event);
        if (released.event == window_ && (released.detail == 1 || released.detail == 3) && released.event_x >= 0 &&
            released.event_y >= 0 && released.event_x < width_ && released.event_y < height_)
            onClick_(released.root_x, released.root_y, released.time);
        break;
    }
    default:
        break;
    }
}

// The pixels are put as they are: 32 bits each, 8 a channel, in the order
// of this machine, as every X server of this century has it. Another
// display gets an empty icon, and says so.
bool XEmbedIcon::drawable(const xcb_visualtype_t& type) const
{
    const xcb_setup_t* setup = xcb_.get_setup(tray_.connection());
    const xcb_format_t* formats = xcb_.setup_pixmap_formats(setup);
    bool bits = false;
    for (int i = 0; i < xcb_.setup_pixmap_formats_length(setup); ++i)
        bits = bits || (formats[i].depth == depth_ && formats[i].bits_per_pixel == 32);
    bool order = setup->image_byte_order == (G_BYTE_ORDER == G_LITTLE_ENDIAN ? XCB_IMAGE_ORDER_LSB_FIRST
                                                                              : XCB_IMAGE_ORDER_MSB_FIRST);
    if (bits && order && type.red_mask == 0xff0000 && type.green_mask == 0xff00 && type.blue_mask == 0xff)
        return true;
    g_message("The X tray icon cannot be drawn on this display (depth %d)", depth_);
    return false;
}

void XEmbedIcon::draw()
{
    int size = std::min(width_, height_);
    if (!window_ || !drawable_ || size <= 0)
        return;
    if (size != pixelsSize_) {
        pixels_ = iconPixels(size);
        pixelsSize_ = size;
    }
    std::vector<std::uint32_t> image(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_));
    xcb_connection_t* connection = tray_.connection();
    if (!argb_) {
        // What the window shows of the tray's background, to draw over.
        xcb_.clear_area(connection, 0, window_, 0, 0, 0, 0);
        xcb_get_image_reply_t* shown = xcb_.get_image_reply(
            connection,
            xcb_.get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window_, 0, 0, static_cast<uint16_t>(width_),
                           static_cast<uint16_t>(height_), ~0u),
            nullptr);
        bool whole = shown && static_cast<std::size_t>(xcb_.get_image_data_length(shown)) == image.size() * 4;
        if (whole)
            std::memcpy(image.data(), xcb_.get_image_data(shown), image.size() * 4);
        std::free(shown);
        if (!whole)
            return; // not on the screen (yet); an Expose comes when it is
    }
    int left = (width_ - size) / 2, top = (height_ - size) / 2;
    for (int row = 0; row < size; ++row) {
        for (int column = 0; column < size; ++column) {
            std::uint32_t& pixel = image[static_cast<std::size_t>((top + row) * width_ + left + column)];
            std::uint32_t icon = pixels_[static_cast<std::size_t>(row * size + column)];
            pixel = argb_ ? icon : over(icon, pixel);
        }
    }
    put(image);
}

// In strips that each fit in one request.
void XEmbedIcon::put(const std::vector<std::uint32_t>& image)
{
    xcb_connection_t* connection = tray_.connection();
    std::size_t limit = static_cast<std::size_t>(xcb_.get_maximum_request_length(connection)) * 4 - 32;
    int rows = std::max(1, static_cast<int>(limit / (static_cast<std::size_t>(width_) * 4)));
    for (int top = 0; top < height_; top += rows) {
        int strip = std::min(rows, height_ - top);
        xcb_.put_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window_, gc_, static_cast<uint16_t>(width_),
                       static_cast<uint16_t>(strip), 0, static_cast<int16_t>(top), 0, depth_,
                       static_cast<uint32_t>(strip * width_ * 4),
                       reinterpret_cast<const uint8_t*>(image.data() + static_cast<std::size_t>(top) * width_));
    }
    tray_.flush();
}

} // namespace quillary
