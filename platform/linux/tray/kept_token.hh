// The activation token a tray host hands the item (ProvideXdgActivationToken)
// for what the user does next with it. Hosts send it before the action it
// belongs to, and not always right before: Plasma sends it before the
// Activate that the item refuses, and the menu's click comes later. So the
// latest is kept a while, for the next open from the tray, and used once.
#pragma once

#include <glib.h>

#include <string>

namespace quillary {

class KeptToken {
public:
    // How long a token is kept unused: a user takes seconds from the click
    // to the menu's entry, never this long.
    static constexpr guint kLifetime = 30; // s

    KeptToken() = default;
    ~KeptToken();
    KeptToken(const KeptToken&) = delete;
    KeptToken& operator=(const KeptToken&) = delete;

    // Keeps `token` in place of the one kept, which is dropped.
    void keep(std::string token);
    // The token kept, if any; it is not kept any longer.
    std::string take();

private:
    void drop();
    static gboolean onExpired(gpointer self);

    std::string token_;
    guint expiry_ = 0;
};

} // namespace quillary
