#include "platform/linux/tray/watcher_presence.hh"

#include <string_view>
#include <utility>

namespace quillary {

WatcherPresence::WatcherPresence(GDBusConnection* connection, std::function<void()> onAppeared,
                                 std::function<void(bool shown)> onShown)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection)))
    , onAppeared_(std::move(onAppeared))
    , onShown_(std::move(onShown))
{
    // A watcher that appears later is a tray that started (or restarted
    // after a crash) after us: it knows nothing of us until we register.
    watch_ = g_bus_watch_name_on_connection(connection_, kWatcher, G_BUS_NAME_WATCHER_FLAGS_NONE, onWatcherAppeared,
                                            onWatcherVanished, this, nullptr);
}

WatcherPresence::~WatcherPresence()
{
    // GDBus calls neither handler after this returns.
    g_bus_unwatch_name(watch_);
    forgetWatcher();
    g_clear_object(&connection_);
}

void WatcherPresence::onWatcherAppeared(GDBusConnection*, const char*, const char* owner, gpointer self)
{
    auto& presence = *static_cast<WatcherPresence*>(self);
    presence.forgetWatcher();
    presence.owner_ = owner;
    // Subscribed before the question is asked, so that a host that comes or
    // goes while it is answered is not missed. Only this watcher's signals:
    // one that has gone and left its successor the name says nothing.
    presence.subscription_ = g_dbus_connection_signal_subscribe(
        presence.connection_, owner, kWatcher, nullptr, kWatcherPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        onWatcherSignal, self, nullptr);
    presence.onAppeared_();
    presence.askForHost();
}

void WatcherPresence::onWatcherVanished(GDBusConnection*, const char*, gpointer self)
{
    auto& presence = *static_cast<WatcherPresence*>(self);
    presence.forgetWatcher();
    presence.report(false);
}

// The signals say that a host came or went, not whether another is left:
// the watcher is asked again either way.
void WatcherPresence::onWatcherSignal(GDBusConnection*, const char*, const char*, const char*, const char* signal,
                                      GVariant*, gpointer self)
{
    std::string_view name = signal;
    if (name == "StatusNotifierHostRegistered" || name == "StatusNotifierHostUnregistered")
        static_cast<WatcherPresence*>(self)->askForHost();
}

// A watcher may run without any host (GNOME Flashback's does, where its
// panel has only an XEmbed notification area): an item registered there is
// drawn by nobody, and the X tray, if one runs, must show the icon instead.
void WatcherPresence::askForHost()
{
    if (asking_)
        g_cancellable_cancel(asking_);
    g_clear_object(&asking_);
    asking_ = g_cancellable_new();
    g_dbus_connection_call(connection_, owner_.c_str(), kWatcherPath, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", kWatcher, "IsStatusNotifierHostRegistered"), G_VARIANT_TYPE("(v)"),
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, asking_, onHostAnswer, this);
}

void WatcherPresence::onHostAnswer(GObject* bus, GAsyncResult* result, gpointer self)
{
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
    // Cancelled: a newer question is asked, the watcher is gone, or so is
    // `self`, which is then not to be touched.
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return;
    auto& presence = *static_cast<WatcherPresence*>(self);
    g_clear_object(&presence.asking_);
    // A watcher that cannot say (one without the property, or too busy to
    // answer in time) is trusted to have its host, as every watcher was
    // before the property: an XEmbed icon beside the host's would be two.
    bool shown = true;
    if (reply) {
        g_autoptr(GVariant) value = nullptr;
        g_variant_get(reply, "(v)", &value);
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
            shown = g_variant_get_boolean(value);
    } else {
        g_message("The tray's watcher does not say whether it has a host: %s", error->message);
    }
    presence.report(shown);
}

void WatcherPresence::forgetWatcher()
{
    if (subscription_)
        g_dbus_connection_signal_unsubscribe(connection_, subscription_);
    subscription_ = 0;
    if (asking_)
        g_cancellable_cancel(asking_);
    g_clear_object(&asking_);
    owner_.clear();
}

void WatcherPresence::report(bool shown)
{
    if (shown_ == shown)
        return;
    shown_ = shown;
    onShown_(shown);
}

} // namespace quillary
