#include "platform/linux/activation.hh"

#include <initializer_list>
#include <utility>

namespace quillary {

namespace {

// GLib 2.76 and GTK put the token under the one key, the startup ID under
// the other; older ones only the startup ID, which on Wayland holds the
// token too.
constexpr std::pair<const char*, const char*> kKeys[] = {
    {kActivationTokenKey, "XDG_ACTIVATION_TOKEN"},
    {kStartupIdKey, "DESKTOP_STARTUP_ID"},
};

} // namespace

Activation activationOf(GVariant* platformData)
{
    Activation activation;
    if (!platformData || !g_variant_is_of_type(platformData, G_VARIANT_TYPE_VARDICT))
        return activation;
    for (const auto& [key, variable] : kKeys) {
        const char* token = nullptr;
        // A string that is no valid UTF-8 cannot be a D-Bus string; an empty
        // one is no token.
        if (g_variant_lookup(platformData, key, "&s", &token) && *token) {
            activation.token = token;
            break;
        }
    }
    return activation;
}

void addLaunchActivation(GVariantBuilder* platformData)
{
    for (const auto& [key, variable] : kKeys) {
        const char* token = g_getenv(variable);
        if (token && *token && g_utf8_validate(token, -1, nullptr))
            g_variant_builder_add(platformData, "{sv}", key, g_variant_new_string(token));
    }
}

std::string launchToken()
{
    for (const auto& [key, variable] : kKeys) {
        if (const char* token = g_getenv(variable); token && *token)
            return token;
    }
    return {};
}

GAppLaunchContext* launchContext(const std::string& token)
{
    GAppLaunchContext* context = g_app_launch_context_new();
    for (const auto& [key, variable] : kKeys) {
        if (token.empty())
            g_app_launch_context_unsetenv(context, variable);
        else
            g_app_launch_context_setenv(context, variable, token.c_str());
    }
    return context;
}

} // namespace quillary
