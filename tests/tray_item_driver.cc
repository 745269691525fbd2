// The tray item as the launcher sets it up, for the tray item's tests:
//
//   tray_item_driver ICON_DIRECTORY [EXTRA_TITLE]
//
// Puts a StatusNotifierItem on the session bus and prints each menu action it
// receives as a line ("openUI", "terminate"). After "terminate" it keeps the
// main thread until a line (or end of file) comes on standard input, as the
// launcher's quit keeps it for up to 1.5 s.
//
// EXTRA_TITLE appends what the launcher's menu lacks: a submenu of that title
// holding one command (openUI) of the same title, to test submenus and '_'.
//
// SIGUSR1 sets the item up again (a test changes the icon file in between);
// SIGUSR2 destroys the item and prints "destroyed"; SIGTERM or SIGINT destroy
// it and end the program with status 0.
#include "app/texts.hh"
#include "platform/linux/status_notifier_item.hh"

#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

using namespace quillary;

namespace {

std::string extraTitle;

const char* nameOf(MenuAction action)
{
    switch (action) {
    case MenuAction::none:
        return "none";
    case MenuAction::openUI:
        return "openUI";
    case MenuAction::terminate:
        return "terminate";
    }
    return "?";
}

void print(const char* line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// What AppDelegate::buildMenus does with its status item.
void setUp(StatusItem& item)
{
    if (!item.setSymbolImage(kStatusSymbol, kAppName))
        item.setTitle(kAppName);
    Menu menu{
        MenuItem::command(kOpenTitle, MenuAction::openUI, ""),
        MenuItem::separatorItem(),
        MenuItem::command(kQuitTitle, MenuAction::terminate, ""),
    };
    if (!extraTitle.empty()) {
        MenuItem submenu = MenuItem::command(extraTitle, MenuAction::none, "");
        submenu.submenu = {MenuItem::command(extraTitle, MenuAction::openUI, "")};
        menu.push_back(submenu);
    }
    item.setMenu(menu);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s ICON_THEME_DIRECTORY [EXTRA_TITLE]\n", argv[0]);
        return 2;
    }
    if (argc == 3)
        extraTitle = argv[2];
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        std::fprintf(stderr, "no session bus: %s\n", error->message);
        g_error_free(error);
        return 1;
    }
    GMainLoop* loop = g_main_loop_new(nullptr, false);

    auto item = std::make_unique<StatusNotifierItem>(bus, argv[1], [](MenuAction action) {
        print(nameOf(action));
        if (action == MenuAction::terminate) {
            char line[80];
            if (!std::fgets(line, sizeof line, stdin))
                std::clearerr(stdin);
        }
    });
    setUp(*item);

    g_unix_signal_add(
        SIGUSR1,
        [](gpointer data) -> gboolean {
            if (auto& item = *static_cast<std::unique_ptr<StatusNotifierItem>*>(data))
                setUp(*item);
            return G_SOURCE_CONTINUE;
        },
        &item);
    g_unix_signal_add(
        SIGUSR2,
        [](gpointer data) -> gboolean {
            static_cast<std::unique_ptr<StatusNotifierItem>*>(data)->reset();
            print("destroyed");
            return G_SOURCE_CONTINUE;
        },
        &item);
    for (int signal : {SIGTERM, SIGINT}) {
        g_unix_signal_add(
            signal,
            [](gpointer data) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(data));
                return G_SOURCE_REMOVE;
            },
            loop);
    }
    g_main_loop_run(loop);

    item.reset();
    g_main_loop_unref(loop);
    g_object_unref(bus);
    return 0;
}
