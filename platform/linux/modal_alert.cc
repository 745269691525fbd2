#include "platform/linux/modal_alert.hh"

#include "platform/linux/alert_module.hh"

#include <cstdio>
#include <string>

namespace quillary {

void ModalAlert::run(std::string_view headline, std::string_view explanation)
{
    std::string headlineText(headline), explanationText(explanation);
    // The texts go to standard error first, whatever follows: where no
    // display can show the alert (or none is left to: GDK ends the process
    // when its display goes away), where GTK cannot be loaded, and where
    // GLib aborts for want of a thread or a descriptor while GTK starts, the
    // user who started the launcher from a terminal, or the session's log,
    // still has them.
    std::fprintf(stderr, "%s\n%s\n", headlineText.c_str(), explanationText.c_str());
    std::fflush(stderr);
    if (!module_) {
        module_ = g_module_open(modulePath_.c_str(), G_MODULE_BIND_LOCAL);
        if (!module_)
            g_debug("No alert module: %s", g_module_error());
    }
    gpointer runAlert = nullptr;
    if (!module_ || !g_module_symbol(module_, "quillary_alert_run", &runAlert)) {
        g_debug("No alert shown: %s", g_module_error());
        return;
    }
    reinterpret_cast<QuillaryAlertRun>(runAlert)(headlineText.c_str(), explanationText.c_str());
}

void ModalAlert::close()
{
    gpointer closeAlert = nullptr;
    if (module_ && g_module_symbol(module_, "quillary_alert_close", &closeAlert))
        reinterpret_cast<QuillaryAlertClose>(closeAlert)();
}

} // namespace quillary
