#include "platform/linux/bus_guard.hh"

namespace quillary {

namespace {

// Why a call is refused, or null when it is taken.
const char* refusal(GVariant* arguments)
{
    if (g_variant_get_size(arguments) > BusGuard::kLargestCall)
        return "larger than any call this object takes";
    GVariantIter iter;
    g_variant_iter_init(&iter, arguments);
    while (g_autoptr(GVariant) argument = g_variant_iter_next_value(&iter)) {
        if (g_variant_is_of_type(argument, G_VARIANT_TYPE_ARRAY) &&
            g_variant_n_children(argument) > BusGuard::kMostElements)
            return "an array longer than any this object takes";
    }
    return nullptr;
}

} // namespace

BusGuard::BusGuard(GDBusConnection* connection)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection)))
    , filter_(g_dbus_connection_add_filter(connection_, filter, nullptr, nullptr))
{
}

BusGuard::~BusGuard()
{
    // The filter keeps no state: a last call of it on the bus's own thread,
    // after this, does no harm.
    g_dbus_connection_remove_filter(connection_, filter_);
    g_clear_object(&connection_);
}

// On GDBus's own thread, for every message in and out.
GDBusMessage* BusGuard::filter(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer)
{
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
        return message;
    GVariant* body = g_dbus_message_get_body(message);
    const char* why = body ? refusal(body) : nullptr;
    if (!why)
        return message;
    if (!(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED)) {
        g_autoptr(GDBusMessage) error =
            g_dbus_message_new_method_error(message, "org.freedesktop.DBus.Error.LimitsExceeded", "%s: %s.%s",
                                            why, g_dbus_message_get_interface(message),
                                            g_dbus_message_get_member(message));
        g_dbus_connection_send_message(connection, error, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    }
    g_object_unref(message); // the filter owns what it is given, and drops it
    return nullptr;
}

} // namespace quillary
