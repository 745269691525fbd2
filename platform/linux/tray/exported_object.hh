// An object on a D-Bus connection, exported from its introspection XML (one
// interface), for as long as this lives.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <string_view>

namespace quillary {

class ExportedObject {
public:
    // What the object answers. Both run on the creator's main context, so
    // never before the creator has returned to it.
    struct Handlers {
        // A call of one of the interface's methods (GDBus refuses others),
        // answered through `invocation`.
        std::function<void(std::string_view method, GVariant* parameters, GDBusMethodInvocation* invocation)> call;
        // The value of one of the interface's properties; nullptr, and the
        // host is told there is no such property.
        std::function<GVariant*(std::string_view name)> property;
    };

    // `path` and `introspection` are the program's own constants: XML that
    // does not parse is a programming error, and ends the process. `what`
    // names the object in the warning when it cannot be exported.
    ExportedObject(GDBusConnection* connection, const char* path, const char* introspection, Handlers handlers,
                   const char* what);
    ~ExportedObject();
    ExportedObject(const ExportedObject&) = delete;
    ExportedObject& operator=(const ExportedObject&) = delete;

    bool exported() const { return registration_ != 0; }
    // Emits one of the interface's signals from the object's path, to every
    // listener.
    void emit(const char* signal, GVariant* parameters) const;

private:
    Handlers handlers_;
    GDBusConnection* connection_;
    const char* path_;
    GDBusNodeInfo* introspection_;
    guint registration_ = 0;
};

} // namespace quillary
