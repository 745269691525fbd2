// Our icon as pixels, for hosts that look icons up by name in their own theme
// only (ignoring IconThemePath) and for an installation that lost its icon
// file: without them the item would be an empty square or not shown at all.
// Drawn here rather than read from the file, which may be the missing part,
// and to keep an image library out of the launcher.
#pragma once

#include <glib.h>

namespace quillary {

// The StatusNotifierItem's IconPixmap, a(iiay): the icon in the sizes that
// panels draw, as a new reference.
GVariant* iconPixmaps();

} // namespace quillary
