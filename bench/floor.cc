// The floor of the launcher benchmarks (bench/launcher_bench.py): a program
// on the launcher's own stack (C++, GLib/GIO, a GApplication on the session
// bus) that does nothing else. It holds itself and owns its one bus name: no
// tray item, no menus, no server, no signal sources, no threads of its own.
// What the launcher costs beyond this is what its own work costs.
//
// QUILLARY_BENCH_FLOOR_MARK=PATH: once the name is owned, PATH gets the
// monotonic clock in nanoseconds and the pid, as the fake server's "mark"
// step writes them.
//
// The action "quit" (org.gtk.Actions on the bus, as GApplication exports
// it) ends the program: the floor of the launcher's quit.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gio/gio.h>
#include <unistd.h>

namespace {

constexpr const char* kApplicationId = "org.quillary.BenchFloor";
constexpr const char* kMarkVariable = "QUILLARY_BENCH_FLOOR_MARK";

void mark(const char* path)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::string line = std::to_string(static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec) + ' ' +
                       std::to_string(getpid()) + '\n';
    if (std::FILE* out = std::fopen(path, "w")) {
        std::fputs(line.c_str(), out);
        std::fclose(out);
    }
}

// "startup" comes once the application has registered, that is once the
// session bus has given it its name (the request is synchronous).
void onStartup(GApplication* application, gpointer)
{
    g_application_hold(application);
    static const GActionEntry actions[] = {
        {"quit", [](GSimpleAction*, GVariant*, gpointer app) { g_application_quit(G_APPLICATION(app)); }, nullptr,
         nullptr, nullptr, {}},
    };
    g_action_map_add_action_entries(G_ACTION_MAP(application), actions, G_N_ELEMENTS(actions), application);
    if (const char* path = std::getenv(kMarkVariable))
        mark(path);
}

} // namespace

int main()
{
    GApplication* application = g_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(application, "startup", G_CALLBACK(onStartup), nullptr);
    // Without a handler GApplication warns on activation.
    g_signal_connect(application, "activate", G_CALLBACK(+[](GApplication*, gpointer) {}), nullptr);
    int status = g_application_run(application, 0, nullptr);
    g_object_unref(application);
    return status;
}
