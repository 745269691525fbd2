#include "platform/linux/tray/kept_token.hh"

#include "platform/linux/x_startup.hh"

#include <utility>

namespace quillary {

KeptToken::~KeptToken()
{
    if (expiry_)
        g_source_remove(expiry_);
}

void KeptToken::keep(std::string token)
{
    drop();
    if (token.empty())
        return;
    token_ = std::move(token);
    expiry_ = g_timeout_add_seconds(kLifetime, onExpired, this);
}

std::string KeptToken::take()
{
    if (expiry_)
        g_source_remove(expiry_);
    expiry_ = 0;
    return std::exchange(token_, {});
}

// On X11 a host's token is a startup sequence it began, which the browser
// would have ended: one never used is ended here, or the shell shows a busy
// cursor until it gives up on it. (On Wayland the compositor lets it lapse.)
void KeptToken::drop()
{
    endStartup(take());
}

gboolean KeptToken::onExpired(gpointer self)
{
    auto& kept = *static_cast<KeptToken*>(self);
    kept.expiry_ = 0;
    kept.drop();
    return G_SOURCE_REMOVE;
}

} // namespace quillary
