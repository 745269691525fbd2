// An object on a D-Bus connection, exported from its introspection XML (one
// interface), for as long as this lives.
#pragma once

#include <gio/gio.h>

namespace quillary {

class ExportedObject {
public:
    // `path` and `introspection` are the program's own constants: XML that
    // does not parse is a programming error, and ends the process. `what`
    // names the object in the warning when it cannot be exported. `vtable`
    // must outlive this; its handlers get `handlerData`, and run on the
    // creator's main context, so never before the creator has returned to it.
    ExportedObject(GDBusConnection* connection, const char* path, const char* introspection,
                   const GDBusInterfaceVTable& vtable, gpointer handlerData, const char* what);
    ~ExportedObject();
    ExportedObject(const ExportedObject&) = delete;
    ExportedObject& operator=(const ExportedObject&) = delete;

    bool exported() const { return registration_ != 0; }
    // Emits one of the interface's signals from the object's path, to every
    // listener.
    void emit(const char* signal, GVariant* parameters) const;

private:
    GDBusConnection* connection_;
    const char* path_;
    GDBusNodeInfo* introspection_;
    guint registration_ = 0;
};

} // namespace quillary
