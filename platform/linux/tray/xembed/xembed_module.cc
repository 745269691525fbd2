#include "platform/linux/tray/xembed/xembed_module.hh"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

GtkWidget* menu = nullptr;
QuillaryXEmbedChosen onChosen = nullptr;
QuillaryXEmbedLost onLost = nullptr;
void* callbackData = nullptr;

// GDK's handler of a lost display ends the process with _exit(1), leaving
// the server running: ours tells the launcher instead, which ends through
// its one termination path. Xlib's handler is the process's, not the
// display's: set once GDK has set its own.
int onIOError(Display*)
{
    if (auto lost = std::exchange(onLost, nullptr))
        lost(callbackData);
    return 0;
}

// After the handler, Xlib would exit; it returns instead, and every later
// call on the dead display does nothing until the launcher has ended.
void onIOErrorExit(Display*, void*) {}

bool initialiseGtk()
{
    // XEmbed is X11's: the X backend, whatever else the session offers. And
    // a menu draws nothing with OpenGL, yet GDK's X backend loads the GL
    // driver to choose its visuals: 90 MB resident instead of 37 (Mesa, on
    // Xvfb). GDK reads both settings once, when it starts; they are put back
    // at once, so that the browser does not inherit them. The environment is
    // touched on the main thread only, here as everywhere.
    const char* settings[][2] = {{"GDK_BACKEND", "x11"}, {"GDK_GL", "disable"}};
    char* saved[2];
    for (int i = 0; i < 2; ++i) {
        const char* value = std::getenv(settings[i][0]);
        saved[i] = value ? strdup(value) : nullptr;
        setenv(settings[i][0], settings[i][1], 1);
    }
    bool initialised = gtk_init_check(nullptr, nullptr);
    for (int i = 0; i < 2; ++i) {
        if (saved[i])
            setenv(settings[i][0], saved[i], 1);
        else
            unsetenv(settings[i][0]);
        std::free(saved[i]);
    }
    if (initialised) {
        XSetIOErrorHandler(onIOError);
        XSetIOErrorExitHandler(gdk_x11_display_get_xdisplay(gdk_display_get_default()), onIOErrorExit, nullptr);
    }
    return initialised;
}

guint32 popUpTime = GDK_CURRENT_TIME;

// The time of the event that chose the entry, the user's last interaction:
// the browser is let in front by it. Without one, the click that opened the
// menu.
void onActivate(GtkMenuItem*, gpointer index)
{
    guint32 time = gtk_get_current_event_time();
    if (onChosen)
        onChosen(GPOINTER_TO_INT(index), time != GDK_CURRENT_TIME ? time : popUpTime, callbackData);
}

GtkWidget* menuOf(const char* const* labels, int count)
{
    GtkWidget* popup = gtk_menu_new();
    for (int index = 0; index < count; ++index) {
        GtkWidget* entry = labels[index] ? gtk_menu_item_new_with_label(labels[index]) : gtk_separator_menu_item_new();
        if (labels[index])
            g_signal_connect(entry, "activate", G_CALLBACK(onActivate), GINT_TO_POINTER(index));
        gtk_menu_shell_append(GTK_MENU_SHELL(popup), entry);
    }
    gtk_widget_show_all(popup);
    return popup;
}

} // namespace

extern "C" {

G_MODULE_EXPORT int quillary_xembed_menu_pop_up(const char* const* labels, int count, int x, int y, uint32_t time,
                                                QuillaryXEmbedChosen chosen, QuillaryXEmbedLost lost, void* data)
{
    static const bool initialised = initialiseGtk();
    if (!initialised)
        return -1;
    onChosen = chosen;
    onLost = lost;
    callbackData = data;
    popUpTime = time;
    if (menu)
        gtk_widget_destroy(menu);
    menu = menuOf(labels, count);
    // The click that opens it happened on another connection, GTK's menu
    // needs one of its own: the same click, on the screen (the icon is no
    // GTK window), with the pointer that made it. GTK turns the menu round
    // where the screen ends. Its grab is taken now: a time of the click
    // would be refused by a server that has seen a grab since.
    g_autoptr(GdkEvent) click = gdk_event_new(GDK_BUTTON_RELEASE);
    click->button.window = GDK_WINDOW(g_object_ref(gdk_get_default_root_window()));
    click->button.time = GDK_CURRENT_TIME;
    click->button.x = click->button.x_root = x;
    click->button.y = click->button.y_root = y;
    gdk_event_set_device(click, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default())));
    gtk_menu_popup_at_pointer(GTK_MENU(menu), click);
    return 0;
}

G_MODULE_EXPORT void quillary_xembed_menu_close(void)
{
    onChosen = nullptr;
    onLost = nullptr;
    if (menu)
        gtk_widget_destroy(menu);
    menu = nullptr;
}
}
