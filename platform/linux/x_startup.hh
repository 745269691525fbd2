// Startup notification on an X11 desktop, over libxcb opened for the call
// (as for the XEmbed icon, so that a launcher that never needs it never maps
// it): the ID that the browser is given where the desktop gave none, and the
// end of a startup sequence that nothing else would end.
#pragma once

#include <cstdint>
#include <string>

namespace quillary {

// True where the desktop is an X11 one: an X display, and no Wayland
// compositor whose own X server that would be (a Wayland session starts its
// X server only when a program connects to it).
bool isX11Session();

// A startup ID for the browser, timed at the user's click (`userTime`, in
// the X server's time) where the server's clock puts that within the last
// minute (a host on Wayland stamps its clicks with the compositor's clock
// instead), else at the server's time now. Empty when there is no X display.
std::string startupIdAt(std::uint32_t userTime);

// Ends the startup sequence `id` ("remove:"), which shells show as a busy
// cursor until it ends or times out: the launcher shows no window, which is
// what would end it otherwise. Nothing for an empty `id`, or outside an X11
// desktop (a Wayland compositor lets an unused token lapse).
void endStartup(const std::string& id);

} // namespace quillary
