#include "platform/linux/alert_module.hh"

#include <gtk/gtk.h>

namespace {

GtkWidget* shown = nullptr;

} // namespace

extern "C" {

G_MODULE_EXPORT int quillary_alert_run(const char* headline, const char* explanation)
{
    if (!gtk_init_check(nullptr, nullptr))
        return -1;

    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", headline);
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", explanation);
    gtk_window_set_title(GTK_WINDOW(dialog), "Quillary");
    // Without a parent window there is nothing else to stay above.
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);

    shown = dialog;
    gtk_dialog_run(GTK_DIALOG(dialog));
    shown = nullptr;
    gtk_widget_destroy(dialog);
    return 0;
}

G_MODULE_EXPORT void quillary_alert_close(void)
{
    if (shown)
        gtk_dialog_response(GTK_DIALOG(shown), GTK_RESPONSE_CLOSE);
}
}
