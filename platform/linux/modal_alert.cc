#include "platform/linux/modal_alert.hh"

#include "platform/linux/alert_module.hh"

#include <cstdio>
#include <string>

namespace quillary {

void ModalAlert::run(std::string_view headline, std::string_view explanation)
{
    std::string headlineText(headline), explanationText(explanation);
    if (!module_) {
        module_ = g_module_open(modulePath_.c_str(), G_MODULE_BIND_LOCAL);
        if (!module_)
            g_debug("No alert module: %s", g_module_error());
    }
    gpointer runAlert = nullptr;
    if (module_ && g_module_symbol(module_, "quillary_alert_run", &runAlert) &&
        reinterpret_cast<QuillaryAlertRun>(runAlert)(headlineText.c_str(), explanationText.c_str()) == 0)
        return;
    // No display to show it on (or no GTK): the texts still reach the user
    // who started the launcher from a terminal.
    std::fprintf(stderr, "%s\n%s\n", headlineText.c_str(), explanationText.c_str());
}

void ModalAlert::close()
{
    gpointer closeAlert = nullptr;
    if (module_ && g_module_symbol(module_, "quillary_alert_close", &closeAlert))
        reinterpret_cast<QuillaryAlertClose>(closeAlert)();
}

} // namespace quillary
