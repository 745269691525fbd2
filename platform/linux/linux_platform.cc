#include "platform/linux/linux_platform.hh"

#include "platform/linux/activating_application.hh"
#include "platform/linux/menu_model.hh"
#include "platform/linux/tray/tray_item.hh"
#include "platform/linux/x_startup.hh"
#include "platform/posix/posix_process.hh"

#include <string>
#include <utility>

#include <glib-unix.h>
#include <unistd.h>

extern char** environ;

namespace quillary {

namespace {

// Under the application's object path: where GtkApplication would put its
// menubar, and where global-menu shells read it.
constexpr const char* kMenubarPath = "/menus/menubar";
// The launcher's files, relative to the prefix it runs from (set by the build).
constexpr const char* kLibexecDir = QUILLARY_LIBEXECDIR;
constexpr const char* kAlertModule = QUILLARY_ALERT_MODULE;
constexpr const char* kXEmbedModule = QUILLARY_XEMBED_MODULE;
constexpr const char* kIconThemeDir = QUILLARY_ICON_THEME_DIR;

std::filesystem::path installPrefix()
{
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable.parent_path().parent_path();
}

} // namespace

LinuxPlatform::LinuxPlatform()
    : prefix_(installPrefix())
    , application_(activatingApplicationNew(QUILLARY_APP_ID, onEmit, this))
    , alert_(prefix_ / kAlertModule)
{
    // The name the desktop, the window system and screen readers know us by.
    g_set_prgname(QUILLARY_PROGRAM);
    g_set_application_name(QUILLARY_APP_NAME);
    g_signal_connect(application_, "startup", G_CALLBACK(onStartup), this);
    g_signal_connect(application_, "activate", G_CALLBACK(onActivate), this);
}

LinuxPlatform::~LinuxPlatform()
{
    if (menubarExport_)
        g_dbus_connection_unexport_menu_model(bus_, menubarExport_);
    g_clear_object(&menubar_);
    busGuard_.reset();
    g_clear_object(&bus_);
    g_clear_object(&application_);
}

int LinuxPlatform::run(ApplicationDelegate& delegate)
{
    delegate_ = &delegate;
    // The session ending and Ctrl-C in a terminal quit as the menu does.
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        g_unix_signal_add(signal, onSignal, this);
    // The launcher has no options: GApplication sees no arguments to act on
    // or to reject.
    int status = g_application_run(application_, 0, nullptr);
    if (status != 0)
        return status; // could not register with the session bus's instance
    return static_cast<int>(termination_.status());
}

void LinuxPlatform::onStartup(GApplication* application, gpointer self)
{
    // Held for its whole life: a windowless GApplication quits at once otherwise.
    g_application_hold(application);
    auto* platform = static_cast<LinuxPlatform*>(self);
    if (GDBusConnection* bus = g_application_get_dbus_connection(application)) {
        platform->bus_ = G_DBUS_CONNECTION(g_object_ref(bus));
        platform->busGuard_ = std::make_unique<BusGuard>(bus);
    }

    const GActionEntry actions[] = {
        {actionName(MenuAction::openUI), onOpen, nullptr, nullptr, nullptr, {}},
        {actionName(MenuAction::terminate), onQuit, nullptr, nullptr, nullptr, {}},
    };
    g_action_map_add_action_entries(G_ACTION_MAP(application), actions, G_N_ELEMENTS(actions), self);
}

// Around a call from another process: before it with the activation in its
// platform data, after it with none.
void LinuxPlatform::onEmit(Activation activation, gpointer self)
{
    auto* platform = static_cast<LinuxPlatform*>(self);
    platform->dropActivation();
    platform->activation_ = std::move(activation);
}

// The launcher's two commands are the application's actions, app.open and
// app.quit. The main menu and the desktop entry's actions activate them over
// D-Bus; every other road (the tray's menus, a click on its item, a signal)
// activates the same ones here, with the activation that came with it. So
// a command, its activation and its refusal once the end has begun (the
// actions are disabled then) are in one place.
void LinuxPlatform::activate(MenuAction action, Activation activation)
{
    dropActivation();
    activation_ = std::move(activation);
    g_action_group_activate_action(G_ACTION_GROUP(application_), actionName(action), nullptr);
    dropActivation();
}

void LinuxPlatform::enableCommands(bool enabled)
{
    for (MenuAction action : {MenuAction::openUI, MenuAction::terminate}) {
        GAction* command = g_action_map_lookup_action(G_ACTION_MAP(application_), actionName(action));
        g_simple_action_set_enabled(G_SIMPLE_ACTION(command), enabled);
    }
}

void LinuxPlatform::onOpen(GSimpleAction*, GVariant*, gpointer self)
{
    static_cast<LinuxPlatform*>(self)->delegate_->openUI();
}

void LinuxPlatform::onQuit(GSimpleAction*, GVariant*, gpointer self)
{
    static_cast<LinuxPlatform*>(self)->terminate(ExitStatus::success);
}

void LinuxPlatform::onActivate(GApplication*, gpointer self)
{
    auto* platform = static_cast<LinuxPlatform*>(self);
    if (platform->termination_.begun())
        return;
    // The first activation is the end of launching; every later one is the
    // executable started again, or the desktop entry clicked: a reopen.
    if (!platform->launched_) {
        platform->launched_ = true;
        // Started from a desktop entry that asks for startup notification,
        // the launcher is the one to end it: it shows no window, whose
        // mapping would. A token is for a window of this process, and there
        // is none, so it goes to no browser either.
        endStartup(launchToken());
        platform->delegate_->applicationDidFinishLaunching();
    } else {
        // With the activation of the second launch, from its platform data.
        platform->delegate_->applicationShouldHandleReopen(false);
    }
}

// What the request did not hand to a browser (it opened nothing: the port
// is not known yet, or the end had begun): a startup sequence that a second
// launch or a tray host began is ended here, as no browser will end it.
void LinuxPlatform::dropActivation()
{
    endStartup(std::exchange(activation_, {}).token);
}

gboolean LinuxPlatform::onSignal(gpointer self)
{
    static_cast<LinuxPlatform*>(self)->activate(MenuAction::terminate, {});
    return G_SOURCE_CONTINUE;
}

void LinuxPlatform::terminate(ExitStatus status)
{
    termination_.asked(status);
    if (termination_.begun())
        return;
    enableCommands(false);
    // The application's name goes before the server's grace, during which
    // the main thread answers nobody: a launch meanwhile would find the name
    // taken, ask us to activate, get no reply and fail, and leave nothing
    // running once we are gone. Given up, the name is the new launch's at
    // once: it starts its own server while ours ends in its grace.
    if (bus_)
        g_dbus_connection_call(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "ReleaseName", g_variant_new("(s)", QUILLARY_APP_ID), nullptr,
                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    termination_.begin(queue_, *delegate_);
    alert_.close();
    g_application_quit(application_);
}

void LinuxPlatform::setActivationPolicy(ActivationPolicy)
{
    // A desktop entry and an icon make an ordinary application here.
}

void LinuxPlatform::setMainMenu(Menu menu)
{
    g_clear_object(&menubar_);
    menubar_ = menuModel(menu);

    if (!bus_)
        return;
    if (menubarExport_)
        g_dbus_connection_unexport_menu_model(bus_, menubarExport_);
    std::string path = std::string(g_application_get_dbus_object_path(application_)) + kMenubarPath;
    g_autoptr(GError) error = nullptr;
    menubarExport_ = g_dbus_connection_export_menu_model(bus_, path.c_str(), G_MENU_MODEL(menubar_), &error);
    // Only when the path is taken: the launcher goes on without a main menu.
    if (!menubarExport_)
        g_message("The main menu cannot be exported: %s", error->message);
}

std::unique_ptr<StatusItem> LinuxPlatform::makeStatusItem()
{
    if (!bus_)
        return std::make_unique<NoStatusItem>();
    return std::make_unique<TrayItem>(bus_, queue_, prefix_ / kIconThemeDir, prefix_ / kXEmbedModule,
                                      [this](MenuAction action, Activation activation) {
                                          activate(action, std::move(activation));
                                      });
}

void LinuxPlatform::runModalAlert(std::string_view messageText, std::string_view informativeText)
{
    // An end begun while the alert is up closes it, and the caller is back
    // here before the process ends, to say how it ends.
    alert_.run(messageText, informativeText);
}

void LinuxPlatform::openURL(std::string_view url)
{
    // The activation of the request is used once. Where the desktop gave no
    // token, an X11 desktop still lets in a window whose startup ID is timed
    // after the user's last interaction elsewhere: the click's time, or now.
    Activation activation = std::exchange(activation_, {});
    if (activation.token.empty() && isX11Session())
        activation.token = startupIdAt(activation.userTime);
    g_autoptr(GAppLaunchContext) context = launchContext(activation.token);
    // The browser's start is not waited for, and its failure (no browser at
    // all, say) is not the launcher's to report.
    g_app_info_launch_default_for_uri_async(
        std::string(url).c_str(), context, nullptr,
        [](GObject*, GAsyncResult* result, gpointer) {
            g_autoptr(GError) error = nullptr;
            g_app_info_launch_default_for_uri_finish(result, &error);
        },
        nullptr);
}

std::optional<std::filesystem::path> LinuxPlatform::resourcePath(std::string_view name)
{
    std::filesystem::path path = prefix_ / kLibexecDir / name;
    std::error_code error;
    if (prefix_.empty() || !std::filesystem::exists(path, error))
        return std::nullopt;
    return path;
}

Environment LinuxPlatform::environment()
{
    Environment variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view variable = *entry;
        std::size_t equals = variable.find('=');
        if (equals == std::string_view::npos)
            continue;
        // The first of two entries of one name is the one getenv sees.
        variables.emplace(variable.substr(0, equals), variable.substr(equals + 1));
    }
    return variables;
}

void LinuxPlatform::async(std::function<void()> work)
{
    queue_.async(std::move(work));
}

std::unique_ptr<ServerProcess> LinuxPlatform::makeServerProcess()
{
    return std::make_unique<PosixProcess>();
}

void LinuxPlatform::debugLog(std::string_view line)
{
    g_debug("%.*s", static_cast<int>(line.size()), line.data());
}

} // namespace quillary
