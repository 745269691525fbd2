#include "platform/linux/xcb_functions.hh"

#include <gmodule.h>

namespace quillary {

std::unique_ptr<XcbFunctions> XcbFunctions::load()
{
    GModule* module = g_module_open("libxcb.so.1", G_MODULE_BIND_LOCAL);
    if (!module)
        return nullptr;
    // Kept once opened: GTK maps it anyway when the menu opens, and
    // ThreadSanitizer ends a process that unloads a library it was told of.
    g_module_make_resident(module);
    auto xcb = std::make_unique<XcbFunctions>();
    bool complete = true;
#define QUILLARY_XCB_LOOKUP(name)                                                                                      \
    complete = complete && g_module_symbol(module, "xcb_" #name, reinterpret_cast<gpointer*>(&xcb->name));
    QUILLARY_XCB_FUNCTIONS(QUILLARY_XCB_LOOKUP)
#undef QUILLARY_XCB_LOOKUP
    if (!complete) {
        g_message("No icon in the X tray: %s", g_module_error());
        return nullptr;
    }
    return xcb;
}

} // namespace quillary
