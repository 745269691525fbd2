"""GTK 3 windows that log to $FOCUSLOG when they become active or stop being so. `browser URL`: a single-instance
browser, the default http handler, logging each address it opens to $URLS. `editor ROAD`: the window the user works
in; Return pressed in it (wherever the window is yet: keys go to the active one) asks for a token as a shell does and
takes ROAD: "tray" (to the item of $LAUNCHER_PID), "launch" (the desktop entry $ENTRY), "none" (nothing)."""

import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import Gdk, GdkX11, Gio, GLib, Gtk  # noqa: E402
last_use = [0]  # the time of the last key typed into the window


def window(name):
    shown = Gtk.Window(title=name)
    shown.add(Gtk.Entry())  # typed into: the user's interaction with it
    shown.connect("key-press-event", lambda w, event: last_use.__setitem__(0, event.time))
    shown.connect("notify::is-active", lambda w, _: log(f"{name} {int(w.is_active())}"))
    return shown


def log(line, to="FOCUSLOG"):
    with open(os.environ[to], "a") as f:
        print(line, file=f)


def road(widget, event, name):
    if event.keyval != Gdk.KEY_Return:
        return
    context = widget.get_display().get_app_launch_context()
    context.set_timestamp(event.time)
    entry = Gio.DesktopAppInfo.new_from_filename(os.environ["ENTRY"])
    if name == "launch":
        return entry.launch([], context)
    for path, method, args in (("/StatusNotifierItem", "org.kde.StatusNotifierItem.ProvideXdgActivationToken",
                                 ("(s)", (context.get_startup_notify_id(entry, []),))),
                                ("/MenuBar", "com.canonical.dbusmenu.Event", ("(isvu)", (1, "clicked", GLib.Variant("s", ""), event.time)))):
        Gio.bus_get_sync(Gio.BusType.SESSION).call_sync(f"org.kde.StatusNotifierItem-{os.environ['LAUNCHER_PID']}-1", path,
                                                        *method.rsplit(".", 1), GLib.Variant(*args), None, 0, -1)


def browser(application, files, *_):
    if not application.get_windows():
        application.add_window(window("browser"))
    shown = application.get_windows()[0]
    shown.show_all()
    log(files[0].get_uri(), "URLS")
    # Raised with the startup ID's time (GtkApplication takes the ID from the call), else with that of the browser's
    # own last use: it makes up no time of its own. On Wayland with the token, if any.
    display = shown.get_display()
    if not isinstance(display, GdkX11.X11Display):
        return shown.present()
    startup = display.get_startup_notification_id() or ""
    shown.present_with_time(int(startup.rsplit("_TIME", 1)[1]) if "_TIME" in startup else last_use[0])


if sys.argv[1] == "browser":
    # A second start hands on only what it was given: GtkApplication would make up a startup ID with the X server's
    # time now, which a browser does not.
    BROWSER = "org.quillary.TestBrowser"
    try:
        token = os.environ.get("XDG_ACTIVATION_TOKEN") or os.environ.get("DESKTOP_STARTUP_ID")
        Gio.bus_get_sync(Gio.BusType.SESSION).call_sync(
            BROWSER, "/org/quillary/TestBrowser", "org.freedesktop.Application", "Open",
            GLib.Variant("(asa{sv})", ([sys.argv[2]], {"desktop-startup-id": GLib.Variant("s", token)} if token else {})),
            None, Gio.DBusCallFlags.NO_AUTO_START, -1)
        sys.exit(0)
    except GLib.Error:  # the first
        application = Gtk.Application(application_id=BROWSER, flags=Gio.ApplicationFlags.HANDLES_OPEN)
        application.connect("open", browser)
        sys.exit(application.run(sys.argv[1:]))
editor = window("editor")
if sys.argv[2] != "none":  # before the entry's own handler
    editor.get_child().connect("key-press-event", road, sys.argv[2])
editor.maximize()
editor.show_all()
Gtk.main()
