// The launcher's GApplication: a plain one, but that its instances hand each
// other the user's activation. GLib 2.74's GApplication forwards only the
// working directory from a second launch; GLib 2.76 and GtkApplication add
// the token and the startup ID, and so does this, under the same keys.
#pragma once

#include "platform/linux/activation.hh"

#include <gio/gio.h>

namespace quillary {

// Called in the running instance with the activation that came with a call
// from another process (a second launch, an action activated over D-Bus),
// just before the call is emitted, and with an empty one just after.
using ActivationHandler = void (*)(Activation activation, gpointer data);

GApplication* activatingApplicationNew(const char* id, ActivationHandler onEmit, gpointer data);

} // namespace quillary
