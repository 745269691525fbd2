// The launcher as an AppKit application: NSApplication and its delegate,
// the main menu, a status item, NSAlert and NSWorkspace. Built on macOS and,
// with the same sources, against GNUstep. The header is plain C++: the entry
// that picks it needs no Objective-C.
#pragma once

#include "platform/platform.hh"

#include <memory>

namespace quillary {

class MainQueue;

class MacPlatform final : public Platform {
public:
    MacPlatform();
    ~MacPlatform() override;
    MacPlatform(const MacPlatform&) = delete;
    MacPlatform& operator=(const MacPlatform&) = delete;

    // Runs the application until it terminates; the process's exit status.
    int run(ApplicationDelegate& delegate);

    void terminate(ExitStatus status) override;
    void setActivationPolicy(ActivationPolicy policy) override;
    void setMainMenu(Menu menu) override;
    std::unique_ptr<StatusItem> makeStatusItem() override;
    void runModalAlert(std::string_view messageText, std::string_view informativeText) override;
    void openURL(std::string_view url) override;
    std::optional<std::filesystem::path> resourcePath(std::string_view name) override;
    Environment environment() override;
    void async(std::function<void()> work) override;
    std::unique_ptr<ServerProcess> makeServerProcess() override;
    void debugLog(std::string_view line) override;

    // Called by the Objective-C side, on the main thread.
    bool applicationShouldTerminate();
    void applicationWillTerminate();
    void perform(MenuAction action);

private:
    struct Objects; // the Objective-C objects the platform owns
    std::unique_ptr<Objects> objects_;
    ApplicationDelegate* delegate_ = nullptr;
    std::unique_ptr<MainQueue> mainQueue_;
    Termination termination_;
    bool alertUp_ = false;
};

} // namespace quillary
