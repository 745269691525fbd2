#include "platform/linux/tray/status_notifier_item.hh"

#include "platform/linux/tray/icon_pixmaps.hh"

#include <string>
#include <system_error>
#include <utility>

#include <unistd.h>

namespace quillary {

namespace {

constexpr const char* kObjectPath = "/StatusNotifierItem";
constexpr std::string_view kItemId = QUILLARY_PROGRAM;
// The system symbol that our icon stands for: the one this desktop can show.
constexpr std::string_view kArrowDownCircle = "arrow.down.circle";

constexpr const char* kIntrospection = R"xml(
<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="XAyatanaLabel" type="s" access="read"/>
    <property name="XAyatanaLabelGuide" type="s" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i"/><arg name="y" type="i"/></method>
    <method name="Activate"><arg name="x" type="i"/><arg name="y" type="i"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i"/><arg name="y" type="i"/></method>
    <method name="Scroll"><arg name="delta" type="i"/><arg name="orientation" type="s"/></method>
    <method name="ProvideXdgActivationToken"><arg name="token" type="s"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
    <signal name="XAyatanaNewLabel"><arg name="label" type="s"/><arg name="guide" type="s"/></signal>
  </interface>
</node>)xml";

// A D-Bus string must be UTF-8; a stray byte would make GLib refuse the
// whole value.
GVariant* text(std::string_view value)
{
    return g_variant_new_take_string(g_utf8_make_valid(value.data(), static_cast<gssize>(value.size())));
}

GVariant* noPixmaps()
{
    return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
}

bool isReadableFile(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), R_OK) == 0;
}

void onRegistered(GObject* bus, GAsyncResult* result, gpointer)
{
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
    // Not retried: a watcher that refuses now would refuse again. The
    // launcher goes on without a tray icon until a watcher appears.
    if (!reply)
        g_message("The tray did not take the status item: %s", error->message);
}

} // namespace

StatusNotifierItem::StatusNotifierItem(GDBusConnection* connection, std::filesystem::path iconThemePath,
                                       std::function<void(MenuAction, Activation)> onAction)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection)))
    , iconThemeDirectory_(std::move(iconThemePath))
    , onAction_(std::move(onAction))
    , menu_(connection, [this](MenuAction action, std::uint32_t timestamp) { act(action, timestamp); })
    , object_(connection, kObjectPath, kIntrospection,
              {[this](std::string_view method, GVariant* parameters, GDBusMethodInvocation* invocation) {
                   call(method, parameters, invocation);
               },
               [this](std::string_view name) { return property(name); }},
              "tray item")
{
    if (!object_.exported())
        return;

    // The conventional name, for hosts and tools that look items up on the
    // bus; not the one given to the watcher (see registerWithWatcher). The
    // number after the pid tells items of one process apart; the object paths
    // are fixed, so one connection holds one item, and this is it. A sandbox
    // may forbid the name, or another program with our pid (in another pid
    // namespace) hold it: nothing depends on having it.
    std::string name = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-1";
    ownership_ = g_bus_own_name_on_connection(connection_, name.c_str(), G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, nullptr,
                                              nullptr, nullptr, nullptr);
    watcher_ = std::make_unique<WatcherPresence>(
        connection_, [this] { registerWithWatcher(); },
        [this](bool shown) {
            if (onShown_)
                onShown_(shown);
        });
}

StatusNotifierItem::~StatusNotifierItem()
{
    // GDBus calls neither handler after these return. Hosts drop the item
    // when its name leaves the bus; the protocol has no unregistering.
    watcher_.reset();
    if (ownership_)
        g_bus_unown_name(ownership_);
    g_clear_object(&connection_);
}

void StatusNotifierItem::act(MenuAction action, std::uint32_t timestamp)
{
    onAction_(action, {action == MenuAction::openUI ? token_.take() : std::string(), timestamp});
}

// The item is registered by its object path, which every host takes as that
// path on the caller's connection, rather than by its well-known name. GNOME
// Shell's AppIndicator extension (46) watches a name it is given: when the
// watch first reports the name, it clears the item's Id and Menu and reads
// them again a second later, a reading that fails on the cleared value. So
// unless that report came before the item's properties did, it drops the
// item: our quick item lost that race at 4 of 12 shell starts. Given a path,
// it follows the caller's connection and reads the properties once.
void StatusNotifierItem::registerWithWatcher()
{
    if (!watcher_ || !watcher_->present())
        return;
    g_dbus_connection_call(connection_, WatcherPresence::kWatcher, WatcherPresence::kWatcherPath,
                           WatcherPresence::kWatcher, "RegisterStatusNotifierItem", g_variant_new("(s)", kObjectPath),
                           nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, onRegistered, nullptr);
}

bool StatusNotifierItem::setSymbolImage(std::string_view symbolName, std::string_view accessibilityDescription)
{
    // The description has no place of its own in the protocol: it is the
    // item's title, which hosts read out and show in their lists of items.
    setItemTitle(accessibilityDescription);
    bool found = symbolName == kArrowDownCircle && isReadableFile(iconThemeDirectory_ / kIconFile);
    std::string iconName = found ? std::string(kIconName) : std::string();
    std::string themePath = found ? iconThemeDirectory_.string() : std::string();
    bool pixmaps = symbolName == kArrowDownCircle;
    if (iconName != iconName_ || themePath != iconThemePath_ || pixmaps != pixmaps_) {
        iconName_ = std::move(iconName);
        iconThemePath_ = std::move(themePath);
        pixmaps_ = pixmaps;
        object_.emit("NewIcon", nullptr);
    }
    return found;
}

// The text shown where there is no icon, and the item's title.
void StatusNotifierItem::setTitle(std::string_view title)
{
    setItemTitle(title);
    if (title == label_)
        return;
    label_ = title;
    object_.emit("XAyatanaNewLabel", g_variant_new("(@s@s)", text(label_), text(label_)));
}

void StatusNotifierItem::setItemTitle(std::string_view title)
{
    if (title == title_)
        return;
    title_ = title;
    object_.emit("NewTitle", nullptr);
    object_.emit("NewToolTip", nullptr);
}

void StatusNotifierItem::setMenu(Menu menu)
{
    menu_.setMenu(menu);
}

GVariant* StatusNotifierItem::property(std::string_view name) const
{
    if (name == "Category")
        return text("ApplicationStatus");
    if (name == "Id")
        return text(kItemId);
    if (name == "Title")
        return text(title_);
    if (name == "Status")
        return text("Active");
    if (name == "WindowId")
        return g_variant_new_int32(0);
    if (name == "ItemIsMenu")
        return g_variant_new_boolean(true);
    if (name == "Menu")
        return g_variant_new_object_path(DBusMenu::kObjectPath);
    if (name == "IconName")
        return text(iconName_);
    if (name == "IconThemePath")
        return text(iconThemePath_);
    if (name == "IconPixmap")
        return pixmaps_ ? iconPixmaps() : noPixmaps();
    if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap")
        return noPixmaps();
    if (name == "OverlayIconName" || name == "AttentionIconName" || name == "AttentionMovieName")
        return text("");
    if (name == "ToolTip")
        return g_variant_new("(@s@a(iiay)@s@s)", text(""), noPixmaps(), text(title_), text(""));
    // The label's guide is the widest text it will hold, for hosts that
    // keep the item's width steady; our label never changes. Left out when
    // the item has its icon: MATE's applet puts any label on the item's
    // button, the empty one too, and GTK then shows the label and not the
    // image unless the desktop asks for images on buttons.
    if ((name == "XAyatanaLabel" || name == "XAyatanaLabelGuide") && !label_.empty())
        return text(label_);
    return nullptr;
}

// The item is all menu (ItemIsMenu): a click is for the host to open the menu
// that it reads from DBusMenu::kObjectPath. Hosts that call Activate on a
// left click all the same (LXQt's, Cinnamon's, MATE's, Plasma's) leave the
// item to choose, and their menus are on the right button: Activate does
// what the menu's first entry does, opening the interface, with the token the
// host gave before it, as the left click on a tray icon does for most
// programs. The item has no menu of its own to draw and no second thing to
// do: SecondaryActivate and ContextMenu are refused with NotSupported rather
// than met with a silent success, so that a host that falls back to its own
// menu then does so. Scroll has nothing to change either, but is accepted,
// since a refusal would only put one line per wheel step into the host's log.
void StatusNotifierItem::call(std::string_view method, GVariant* parameters, GDBusMethodInvocation* invocation)
{
    if (method == "ProvideXdgActivationToken") {
        const char* token;
        g_variant_get(parameters, "(&s)", &token);
        token_.keep(token);
        return g_dbus_method_invocation_return_value(invocation, nullptr);
    }
    if (method == "Activate")
        menu_.activate();
    if (method == "Activate" || method == "Scroll")
        return g_dbus_method_invocation_return_value(invocation, nullptr);
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED,
                                          "The item is a menu: open %s instead", DBusMenu::kObjectPath);
}

} // namespace quillary
