#include "platform/linux/tray/exported_object.hh"

namespace quillary {

namespace {

GDBusNodeInfo* parsedIntrospection(const char* path, const char* xml)
{
    g_autoptr(GError) error = nullptr;
    GDBusNodeInfo* introspection = g_dbus_node_info_new_for_xml(xml, &error);
    if (!introspection)
        g_error("The introspection of %s does not parse: %s", path, error->message);
    if (!introspection->interfaces || !introspection->interfaces[0])
        g_error("The introspection of %s has no interface", path);
    return introspection;
}

void onMethodCall(GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant* parameters,
                  GDBusMethodInvocation* invocation, gpointer handlers)
{
    static_cast<ExportedObject::Handlers*>(handlers)->call(method, parameters, invocation);
}

GVariant* onGetProperty(GDBusConnection*, const char*, const char*, const char*, const char* name, GError** error,
                        gpointer handlers)
{
    if (GVariant* value = static_cast<ExportedObject::Handlers*>(handlers)->property(name))
        return value;
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No such property \"%s\"", name);
    return nullptr;
}

const GDBusInterfaceVTable kVTable{onMethodCall, onGetProperty, nullptr, {}};

} // namespace

ExportedObject::ExportedObject(GDBusConnection* connection, const char* path, const char* introspection,
                               Handlers handlers, const char* what)
    : handlers_(std::move(handlers))
    , connection_(G_DBUS_CONNECTION(g_object_ref(connection)))
    , path_(path)
    , introspection_(parsedIntrospection(path, introspection))
{
    g_autoptr(GError) error = nullptr;
    registration_ = g_dbus_connection_register_object(connection_, path_, introspection_->interfaces[0], &kVTable,
                                                      &handlers_, nullptr, &error);
    // Only when the path is taken on this connection: a second tray item.
    if (!registration_)
        g_warning("The %s cannot be exported: %s", what, error->message);
}

ExportedObject::~ExportedObject()
{
    if (registration_)
        g_dbus_connection_unregister_object(connection_, registration_);
    g_clear_pointer(&introspection_, g_dbus_node_info_unref);
    g_clear_object(&connection_);
}

void ExportedObject::emit(const char* signal, GVariant* parameters) const
{
    g_autoptr(GError) error = nullptr;
    // Only on a connection that has closed: the session is ending, and
    // nobody is left to tell.
    if (!g_dbus_connection_emit_signal(connection_, nullptr, path_, introspection_->interfaces[0]->name, signal,
                                       parameters, &error))
        g_debug("%s %s was not sent: %s", path_, signal, error->message);
}

} // namespace quillary
