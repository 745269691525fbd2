// Our tray icon as pixels: for hosts that look icons up by name in their own
// theme only (ignoring IconThemePath), for an installation that lost its icon
// file, and for the XEmbed tray, where the launcher draws the icon itself.
// Drawn here rather than read from the file, which may be the missing part,
// and to keep an image library out of the launcher.
#pragma once

#include <glib.h>

#include <cstdint>
#include <vector>

namespace quillary {

// The icon at `size`×`size`, row by row: premultiplied ARGB, one 0xAARRGGBB
// a pixel.
std::vector<std::uint32_t> iconPixels(int size);

// The StatusNotifierItem's IconPixmap, a(iiay): the icon in the sizes that
// panels draw, as a new reference.
GVariant* iconPixmaps();

} // namespace quillary
