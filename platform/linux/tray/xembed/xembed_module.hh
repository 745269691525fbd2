// The XEmbed tray icon's menu module: GTK's popup menu of the icon that the
// launcher docks in an X tray over libxcb. It is built against GTK and
// opened only when that menu is first opened, so that a launcher whose menu
// is never opened never maps GTK. Plain C names, looked up with GModule.
#pragma once

#include <cstdint>

extern "C" {

// Called on the main context when the menu entry at `index` is chosen, with
// the X server's time of the click or key that chose it.
using QuillaryXEmbedChosen = void (*)(int index, uint32_t time, void* data);
// Called on the main context, once, when GTK's connection to the display
// breaks; GDK would end the process at once otherwise.
using QuillaryXEmbedLost = void (*)(void* data);

// Opens the menu at (x, y) on the screen for the click at `time` (the X
// server's), GTK initialised the first time: `labels` are its `count`
// entries, a null label being a separator. Returns 0, or -1 when GTK cannot
// be initialised (no X display).
int quillary_xembed_menu_pop_up(const char* const* labels, int count, int x, int y, uint32_t time,
                                QuillaryXEmbedChosen chosen, QuillaryXEmbedLost lost, void* data);
using QuillaryXEmbedMenuPopUp = int (*)(const char* const* labels, int count, int x, int y, uint32_t time,
                                        QuillaryXEmbedChosen chosen, QuillaryXEmbedLost lost, void* data);

// Closes the menu; nothing is chosen, and no loss told, after this returns.
void quillary_xembed_menu_close(void);
using QuillaryXEmbedMenuClose = void (*)(void);
}
