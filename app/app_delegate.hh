// The launcher's one controller. It holds all of the launcher's state and
// runs on the main thread only; work from the server's background handlers
// reaches it through the platform's main queue and a weak reference.
#pragma once

#include "platform/platform.hh"
#include "app/last_lines.hh"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillary {

class AppDelegate final : public ApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
public:
    // Only ever shared: the server's handlers hold it weakly, and one made
    // otherwise would leave them nothing to hold, so that they did nothing.
    // The platform must outlive it, and the server object it owns.
    static std::shared_ptr<AppDelegate> create(Platform& platform);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationDidFinishLaunching() override;
    bool applicationShouldHandleReopen(bool hasVisibleWindows) override;
    void applicationWillTerminate() override;
    void openUI() override;

private:
    explicit AppDelegate(Platform& platform);
    friend struct AppDelegateProbe; // tests read the state and feed consume

    void buildMenus();
    void startServer();
    void consume(std::string_view text);
    void fail(std::string_view message);
    void serverDidExit(int terminationStatus);

    Platform& app;

    std::unique_ptr<ServerProcess> child;
    std::unique_ptr<StatusItem> statusItem;
    std::optional<std::int64_t> port;
    LastLines<std::string> tail;
    bool quitting = false;
};

} // namespace quillary
