"""What the screen shows, as the tests look at it: screenshots' pixels, where our icon stands out and how far it is our
icon's shape, how readable it is against the panel behind it (WCAG's contrast), the X windows of a docked icon, and
what a screen reader finds of the launcher (AT-SPI on the session's accessibility bus)."""

import os
import re
import subprocess
from collections import Counter

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib  # noqa: E402


def pixels(image):
    data, stride, n = image.get_pixels(), image.get_rowstride(), image.get_n_channels()
    return {(c, r): data[r * stride + c * n:r * stride + c * n + n]
            for r in range(image.get_height()) for c in range(image.get_width())}


def ground(seen, box):  # what `box` is drawn on: the commonest of `seen` (its pixels' values) on its edge
    return Counter(v for (c, r), v in seen.items() if c in (0, box[2] - 1) or r in (0, box[3] - 1)).most_common(1)[0][0]


def icon_likeness(shot, box):
    """How far what stands out from the panel in `box` of the screenshot `shot` (the panel: the commonest grey on the
    box's edge) is our icon (QUILLARY_ICON) drawn on that panel at the size it stands out: 0 to 1. A pixel is the
    panel's, darker or lighter than it; the icon's pixels and what is seen are compared so."""
    screen = GdkPixbuf.Pixbuf.new_from_file(shot)
    x, y = max(0, box[0]), max(0, box[1])  # what of it is on the screen
    box = (x, y, min(box[0] + box[2], screen.get_width()) - x, min(box[1] + box[3], screen.get_height()) - y)
    if box[2] < 1 or box[3] < 1:
        return 0
    seen = {p: sum(v[:3]) // 3 for p, v in pixels(screen.new_subpixbuf(*box)).items()}
    panel = ground(seen, box)

    def kinds(greys, x=0, y=0):
        return {(c + x, r + y): v > panel for (c, r), v in greys.items() if abs(v - panel) > 32}
    seen = kinds(seen)
    if not seen:
        return 0
    xs, ys = [c for c, _ in seen], [r for _, r in seen]
    x, y, width, height = min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1
    icon = GdkPixbuf.Pixbuf.new_from_file_at_scale(os.environ["QUILLARY_ICON"], width, height, True)
    drawn = kinds({p: (sum(v[:3]) // 3 * v[3] + panel * (255 - v[3])) // 255 for p, v in pixels(icon).items()},
                  x + (width - icon.get_width()) // 2, y + (height - icon.get_height()) // 2)
    both = seen.keys() | drawn.keys()
    return sum(seen.get(p) == drawn.get(p) for p in both) / len(both)


def luminance(rgb):  # relative, of sRGB
    return sum(w * (c / 12.92 if c <= 10 else ((c / 255 + 0.055) / 1.055) ** 2.4 * 255) / 255
               for w, c in zip((0.2126, 0.7152, 0.0722), rgb))


def contrast(a, b):  # of two relative luminances
    return (max(a, b) + 0.05) / (min(a, b) + 0.05)


def icon_contrast(shot, box):
    """How readable the icon in `box` of the screenshot `shot` is against what it is drawn on, as WCAG measures
    graphics: the ground is the commonest colour on the box's edge (the panel, or the host's own tray behind its
    items); the icon's colours are those of the pixels that differ from it, each that covers a tenth of them; the
    figure is the contrast of the one that stands out most (a disc with a rim is seen by whichever of the two the
    panel leaves readable); and the ground, as #rrggbb."""
    seen = {p: bytes(v[:3]) for p, v in pixels(GdkPixbuf.Pixbuf.new_from_file(shot).new_subpixbuf(*box)).items()}
    under = ground(seen, box)
    drawn = [rgb for rgb in seen.values() if sum(abs(a - b) for a, b in zip(rgb, under)) > 24]
    colours = {}
    for rgb in drawn:  # by a sixteenth of each channel
        colours.setdefault(tuple(c // 16 for c in rgb), []).append(rgb)
    main = [[sum(c) / len(group) for c in zip(*group)] for group in colours.values() if len(group) * 10 >= len(drawn)]
    return max((contrast(luminance(rgb), luminance(under)) for rgb in main), default=1), "#" + under.hex()


def icon_windows(env):
    """Each of the launcher's tray icon windows: how deep it is in the X window tree (1 under the root), and where it
    is on the screen (x, y, width, height)."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], env=env, capture_output=True, text=True).stdout
    return [((len(line) - len(line.lstrip())) // 3, tuple(map(int, re.search(r"(\d+)x(\d+)\S* +\+(-?\d+)\+(-?\d+)", line)
                                                              .group(3, 4, 1, 2))))
            for line in tree.splitlines() if '("quillary" "quillary")' in line]


def accessibility():  # AT-SPI on this session's bus, with its registry answering
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    # The registry and the application answer slowly on a loaded machine; the default of 0.8 s is for interactive use.
    stretch = float(os.environ.get("QUILLARY_TEST_TIMEOUT_FACTOR") or 1)
    Atspi.set_timeout(int(10000 * stretch), int(30000 * stretch))
    Atspi.get_desktop(0).get_child_count()
    return Atspi


def launcher_accessibles(role):  # what of `role` the launcher's applications show on the accessibility bus, now
    Atspi = accessibility()
    # AT-SPI learns of new applications from bus signals, which arrive only while the main context runs; its cache goes.
    context = GLib.MainContext.default()
    while context.pending():
        context.iteration(False)
    desktop = Atspi.get_desktop(0)
    desktop.clear_cache()
    apps = (desktop.get_child_at_index(i) for i in range(desktop.get_child_count()))
    return [node for app in apps if app is not None and app.get_name() == "quillary" for node in find(app, role)]


def find(node, role):  # `node` and what is under it, of `role`
    try:
        children = filter(None, map(node.get_child_at_index, range(node.get_child_count())))
        return ([node] if node.get_role() == role else []) + [found for child in children for found in find(child, role)]
    except GLib.Error:  # an application that went away meanwhile
        return []
