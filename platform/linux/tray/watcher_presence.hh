// Whether the session bus has a StatusNotifierWatcher, and whether a host,
// a tray that draws the items registered with it, is registered there.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <optional>
#include <string>

namespace quillary {

class WatcherPresence final {
public:
    static constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";

    // Watches `connection` for a watcher. `onAppeared`: a watcher has come,
    // each time one does, and is to be registered with (whether or not it
    // has a host: one that comes later shows only what registered).
    // `onShown`: whether an item registered is drawn by a host, once the bus
    // has answered, then at each change. Both run on the creator's main
    // context, never after this is destroyed.
    WatcherPresence(GDBusConnection* connection, std::function<void()> onAppeared,
                    std::function<void(bool shown)> onShown);
    ~WatcherPresence();
    WatcherPresence(const WatcherPresence&) = delete;
    WatcherPresence& operator=(const WatcherPresence&) = delete;

    bool present() const { return !owner_.empty(); }

private:
    void askForHost();
    void forgetWatcher();
    void report(bool shown);

    static void onWatcherAppeared(GDBusConnection*, const char* name, const char* owner, gpointer self);
    static void onWatcherVanished(GDBusConnection*, const char* name, gpointer self);
    static void onWatcherSignal(GDBusConnection*, const char* sender, const char* path, const char* interface,
                                const char* signal, GVariant* parameters, gpointer self);
    static void onHostAnswer(GObject* bus, GAsyncResult* result, gpointer self);

    GDBusConnection* connection_;
    std::function<void()> onAppeared_;
    std::function<void(bool shown)> onShown_;
    guint watch_ = 0;
    guint subscription_ = 0;
    // The question in flight, cancelled when a newer one or the watcher's
    // end makes its answer stale.
    GCancellable* asking_ = nullptr;
    // The watcher's unique name: empty while there is none.
    std::string owner_;
    std::optional<bool> shown_;
};

} // namespace quillary
