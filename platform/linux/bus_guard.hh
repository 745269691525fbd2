// The launcher's side of the session bus, guarded against calls that no
// desktop makes: any program of the session may call our objects, and those
// that GLib exports for us (the actions, the main menu) answer as asked.
#pragma once

#include <gio/gio.h>

namespace quillary {

class BusGuard {
public:
    // The largest call taken, and the most elements of any array among its
    // arguments: a tray host's or a menu shell's call is a few hundred bytes
    // and names a few items. GLib's menu exporter answers each group id as
    // often as it is asked for, and keeps a group for each one it does not
    // know: 16,000 ids cost 30 MB, a call of 4 MB would cost gigabytes.
    static constexpr gsize kLargestCall = 64 * 1024;
    static constexpr gsize kMostElements = 1024;

    // Refuses every call beyond those that reaches `connection` from now on,
    // with an error, before any handler sees it.
    explicit BusGuard(GDBusConnection* connection);
    ~BusGuard();
    BusGuard(const BusGuard&) = delete;
    BusGuard& operator=(const BusGuard&) = delete;

private:
    static GDBusMessage* filter(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer);

    GDBusConnection* connection_;
    guint filter_;
};

} // namespace quillary
