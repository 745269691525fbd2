#include "platform/linux/alert/alert_module.hh"

#include <gtk/gtk.h>


namespace {

GtkWidget* shown = nullptr;

// Room for a few ordinary lines; a server that printed pages of text in
// its last lines gets a scrolling explanation instead of a dialog taller
// than the screen.
constexpr int kExplanationHeight = 320;
constexpr int kExplanationWidthChars = 60;

// Whether the text has a run longer than a line with nowhere to wrap it
// between words.
bool hasUnbreakableRun(const char* text)
{
    int run = 0;
    for (const char* c = text; *c; ++c) {
        run = g_ascii_isspace(*c) ? 0 : run + 1;
        if (run > kExplanationWidthChars)
            return true;
    }
    return false;
}

// The explanation is what a failing server last printed: it may be long,
// have no spaces to wrap at, and be worth copying into a bug report.
GtkWidget* explanationView(const char* explanation)
{
    GtkWidget* label = gtk_label_new(explanation);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    // Pango's word-or-character wrapping takes seconds for every few
    // thousand characters of one long word; such text is wrapped anywhere.
    gtk_label_set_line_wrap_mode(GTK_LABEL(label),
                                 hasUnbreakableRun(explanation) ? PANGO_WRAP_CHAR : PANGO_WRAP_WORD);
    gtk_label_set_width_chars(GTK_LABEL(label), kExplanationWidthChars / 2);
    gtk_label_set_max_width_chars(GTK_LABEL(label), kExplanationWidthChars);
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_yalign(GTK_LABEL(label), 0);

    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroller), TRUE);
    gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(scroller), TRUE);
    gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller), kExplanationHeight);
    gtk_container_add(GTK_CONTAINER(scroller), label);
    return scroller;
}

} // namespace

extern "C" {

G_MODULE_EXPORT void quillary_alert_run(const char* headline, const char* explanation)
{
    if (!gtk_init_check(nullptr, nullptr))
        return;

    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, nullptr);
    // Set apart from the explanation, as GTK does for a secondary text.
    g_autofree char* markup = g_markup_printf_escaped("<span weight=\"bold\" size=\"larger\">%s</span>", headline);
    gtk_message_dialog_set_markup(GTK_MESSAGE_DIALOG(dialog), markup);
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    gtk_box_pack_start(GTK_BOX(area), explanationView(explanation), TRUE, TRUE, 0);
    gtk_window_set_title(GTK_WINDOW(dialog), QUILLARY_APP_NAME);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    // Without a parent window there is nothing else to stay above.
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    // Enter dismisses it, and the selectable text does not start selected.
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    gtk_widget_show_all(area);
    gtk_widget_grab_focus(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK));

    shown = dialog;
    gtk_dialog_run(GTK_DIALOG(dialog));
    shown = nullptr;
    gtk_widget_destroy(dialog);
}

G_MODULE_EXPORT void quillary_alert_close(void)
{
    if (shown)
        gtk_dialog_response(GTK_DIALOG(shown), GTK_RESPONSE_CLOSE);
}
}
