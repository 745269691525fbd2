// The user's activation that comes with a request to open the interface:
// what a desktop wants to see before it lets the window the request opens
// (the browser's) come in front of the one the user was working in.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <string>

namespace quillary {

struct Activation {
    // An xdg-activation token (Wayland) or a startup-notification ID (X11),
    // as the desktop gave it; empty when it gave none.
    std::string token;
    // The X server's time of the user's click, where the request came from
    // one; 0 when unknown.
    std::uint32_t userTime = 0;
};

// The platform data keys under which GApplication's instances hand each
// other the activation of a launch, as GLib and GTK name them.
inline constexpr const char* kActivationTokenKey = "activation-token";
inline constexpr const char* kStartupIdKey = "desktop-startup-id";

// The activation in the platform data (a{sv}) of a call from another
// process: a second launch, an action activated over D-Bus.
Activation activationOf(GVariant* platformData);

// Adds what the desktop gave this process at its start, to be handed to the
// running instance.
void addLaunchActivation(GVariantBuilder* platformData);

// The token this process was started with, if any: its own startup.
std::string launchToken();

// The launch context of the browser: both variables set to the token, or
// both unset where there is none, so that nothing stale from the launcher's
// own start reaches the browser. The launcher's environment is untouched.
GAppLaunchContext* launchContext(const std::string& token);

} // namespace quillary
