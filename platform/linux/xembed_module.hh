// The XEmbed tray icon module: an icon in an X tray (the owner of the
// selection _NET_SYSTEM_TRAY_S<screen>) with a popup menu, for trays that
// host no StatusNotifierItem. It is built against GTK and opened only when
// such a tray is the only one, so that a launcher in any other tray never
// maps GTK. Plain C names, looked up with GModule.
#pragma once

extern "C" {

// Called on the main context when the menu entry at `index` is chosen.
using QuillaryXEmbedChosen = void (*)(int index, void* data);

// Shows the icon, or updates the one shown: the image in `iconFile`, or
// when that is empty, the first letter of `title`. `labels` are the menu's
// `count` entries, a null label being a separator. Returns 0, or -1 when no
// X display can be opened.
int quillary_xembed_show(const char* iconFile, const char* title, const char* const* labels, int count,
                         QuillaryXEmbedChosen chosen, void* data);
using QuillaryXEmbedShow = int (*)(const char* iconFile, const char* title, const char* const* labels, int count,
                                   QuillaryXEmbedChosen chosen, void* data);

// Takes the icon out of the tray; nothing is chosen after this returns.
void quillary_xembed_hide(void);
using QuillaryXEmbedHide = void (*)(void);
}
