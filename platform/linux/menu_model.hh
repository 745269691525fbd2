// The seam's menus as GMenu models, which the application exports on the
// session bus for the desktop's shell to draw.
#pragma once

#include "platform/platform.hh"

#include <gio/gio.h>

namespace quillary {

// The name of the application's action that performs `action`, or null for
// none. The menus' items name it under the application's prefix, "app.".
const char* actionName(MenuAction action);

// `menu` as a new menu model, its items acting through those actions.
GMenu* menuModel(const Menu& menu);

} // namespace quillary
