#include "platform/linux/xembed_module.hh"

#include <gtk/gtk.h>

#include <string>

// GtkStatusIcon is deprecated for the very reason it is used here: it is
// GTK's XEmbed tray icon, and the trays that need one speak nothing else.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS

namespace {

// Until the tray says otherwise: the usual height of a panel's icons.
constexpr int kStartSize = 22;

GtkStatusIcon* icon = nullptr;
GtkWidget* menu = nullptr;
std::string iconPath;
std::string letter;
QuillaryXEmbedChosen onChosen = nullptr;
void* chosenData = nullptr;

// The icon is drawn light on a dark disc, readable on light and dark panels
// alike: the symbolic icon's shape (one dark colour, made for light panels),
// or where it cannot be loaded, the title's first letter, so that the tray
// never shows an empty square. Drawn here, GTK never has to load an image
// itself, which it aborts the process for when even its fallback fails.
GdkPixbuf* drawnIcon(int size)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
    cairo_t* cairo = cairo_create(surface);
    cairo_arc(cairo, size / 2.0, size / 2.0, size / 2.0, 0, 2 * G_PI);
    cairo_set_source_rgb(cairo, 0.18, 0.20, 0.21);
    cairo_fill(cairo);
    cairo_set_source_rgb(cairo, 1, 1, 1);
    int glyphSize = size * 3 / 4;
    GdkPixbuf* glyph =
        iconPath.empty() ? nullptr : gdk_pixbuf_new_from_file_at_size(iconPath.c_str(), glyphSize, glyphSize, nullptr);
    if (glyph) {
        cairo_surface_t* shape = gdk_cairo_surface_create_from_pixbuf(glyph, 1, nullptr);
        cairo_mask_surface(cairo, shape, (size - gdk_pixbuf_get_width(glyph)) / 2.0,
                           (size - gdk_pixbuf_get_height(glyph)) / 2.0);
        cairo_surface_destroy(shape);
        g_object_unref(glyph);
    } else {
        PangoLayout* layout = pango_cairo_create_layout(cairo);
        PangoFontDescription* font = pango_font_description_from_string("Sans Bold");
        pango_font_description_set_absolute_size(font, size * 0.6 * PANGO_SCALE);
        pango_layout_set_font_description(layout, font);
        pango_layout_set_text(layout, letter.c_str(), -1);
        int width, height;
        pango_layout_get_pixel_size(layout, &width, &height);
        cairo_move_to(cairo, (size - width) / 2.0, (size - height) / 2.0);
        pango_cairo_show_layout(cairo, layout);
        pango_font_description_free(font);
        g_object_unref(layout);
    }
    cairo_destroy(cairo);
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, size, size);
    cairo_surface_destroy(surface);
    return pixbuf;
}

// The tray sizes the icon to its image at first, then says what size it
// wants: the image is drawn again at that size.
gboolean onSizeChanged(GtkStatusIcon* statusIcon, int size, gpointer)
{
    GdkPixbuf* pixbuf = drawnIcon(size > 0 ? size : kStartSize);
    gtk_status_icon_set_from_pixbuf(statusIcon, pixbuf);
    g_object_unref(pixbuf);
    return TRUE;
}

// Trays send a left click as "activate" and a right click as "popup-menu";
// the item is all menu, so both open it.
void popUp(GtkStatusIcon*, gpointer)
{
    gtk_menu_popup_at_pointer(GTK_MENU(menu), nullptr);
}

void popUpFor(GtkStatusIcon* statusIcon, guint, guint, gpointer data)
{
    popUp(statusIcon, data);
}

GtkWidget* menuOf(const char* const* labels, int count)
{
    GtkWidget* popup = gtk_menu_new();
    for (int index = 0; index < count; ++index) {
        GtkWidget* entry = labels[index] ? gtk_menu_item_new_with_label(labels[index]) : gtk_separator_menu_item_new();
        if (labels[index])
            g_signal_connect(entry, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer index) {
                                 if (onChosen)
                                     onChosen(GPOINTER_TO_INT(index), chosenData);
                             }),
                             GINT_TO_POINTER(index));
        gtk_menu_shell_append(GTK_MENU_SHELL(popup), entry);
    }
    gtk_widget_show_all(popup);
    return popup;
}

bool initialiseGtk()
{
    // XEmbed is X11's: the X backend, whatever else the session offers. And
    // a tray icon and a menu draw nothing with OpenGL, yet GDK's X backend
    // loads the GL driver to choose its visuals: 90 MB resident instead of
    // 37 (Mesa, on Xvfb). GDK reads both settings once, when it starts; they
    // are put back at once, so that the browser does not inherit them. The
    // environment is touched on the main thread only, here as everywhere.
    const char* settings[][2] = {{"GDK_BACKEND", "x11"}, {"GDK_GL", "disable"}};
    char* saved[2];
    for (int i = 0; i < 2; ++i) {
        saved[i] = g_strdup(g_getenv(settings[i][0]));
        g_setenv(settings[i][0], settings[i][1], TRUE);
    }
    bool initialised = gtk_init_check(nullptr, nullptr);
    for (int i = 0; i < 2; ++i) {
        if (saved[i])
            g_setenv(settings[i][0], saved[i], TRUE);
        else
            g_unsetenv(settings[i][0]);
        g_free(saved[i]);
    }
    return initialised;
}

} // namespace

extern "C" {

G_MODULE_EXPORT int quillary_xembed_show(const char* iconFile, const char* title, const char* const* labels,
                                         int count, QuillaryXEmbedChosen chosen, void* data)
{
    if (!icon && !initialiseGtk())
        return -1;
    if (!icon) {
        icon = gtk_status_icon_new();
        g_signal_connect(icon, "activate", G_CALLBACK(popUp), nullptr);
        g_signal_connect(icon, "popup-menu", G_CALLBACK(popUpFor), nullptr);
        g_signal_connect(icon, "size-changed", G_CALLBACK(onSizeChanged), nullptr);
    }
    onChosen = chosen;
    chosenData = data;

    iconPath = iconFile;
    letter.assign(title, *title ? g_utf8_next_char(title) - title : 0);
    onSizeChanged(icon, gtk_status_icon_get_size(icon), nullptr);
    gtk_status_icon_set_title(icon, title);
    gtk_status_icon_set_tooltip_text(icon, title);
    gtk_status_icon_set_name(icon, "quillary");

    if (menu)
        gtk_widget_destroy(menu);
    menu = menuOf(labels, count);
    gtk_status_icon_set_visible(icon, TRUE);
    return 0;
}

G_MODULE_EXPORT void quillary_xembed_hide(void)
{
    onChosen = nullptr;
    if (menu)
        gtk_widget_destroy(menu);
    menu = nullptr;
    g_clear_object(&icon);
}
}

G_GNUC_END_IGNORE_DEPRECATIONS
