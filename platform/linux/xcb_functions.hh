// libxcb as the XEmbed tray icon uses it: opened rather than linked, so that
// a launcher in a StatusNotifierItem host's tray (or with no X display) never
// maps it.
#pragma once

#include <xcb/xcb.h>

#include <memory>

namespace quillary {

// Each function of libxcb that is used, with its own type.
#define QUILLARY_XCB_FUNCTIONS(F)                                                                                      \
    F(connect) F(connection_has_error) F(disconnect) F(get_setup) F(setup_roots_iterator) F(screen_next)               \
    F(setup_pixmap_formats) F(setup_pixmap_formats_length) F(screen_allowed_depths_iterator) F(depth_next)            \
    F(depth_visuals_iterator) F(visualtype_next) F(get_maximum_request_length) F(generate_id) F(flush)                \
    F(get_file_descriptor) F(poll_for_event) F(intern_atom) F(intern_atom_reply) F(get_selection_owner)               \
    F(get_selection_owner_reply) F(change_window_attributes) F(get_property) F(get_property_reply)                    \
    F(get_property_value) F(get_property_value_length) F(create_window) F(destroy_window) F(change_property)          \
    F(send_event) F(create_colormap) F(free_colormap) F(create_gc) F(free_gc) F(clear_area) F(get_image)              \
    F(get_image_reply) F(get_image_data) F(get_image_data_length) F(put_image) F(wait_for_event)

struct XcbFunctions {
#define QUILLARY_XCB_MEMBER(name) decltype(&xcb_##name) name = nullptr;
    QUILLARY_XCB_FUNCTIONS(QUILLARY_XCB_MEMBER)
#undef QUILLARY_XCB_MEMBER

    // Null when libxcb, or one of its functions, cannot be had.
    static std::unique_ptr<XcbFunctions> load();
};

} // namespace quillary
