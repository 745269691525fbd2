// The platform of the controller's tests: it records what the controller
// asks of its desktop, and lets a test run the main queue step by step.
// Server processes are real.
#pragma once

#include "platform/platform.hh"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace quillary::testing {

// Test timeouts, scaled by QUILLARY_TEST_TIMEOUT_FACTOR for slow machines.
std::chrono::milliseconds scaled(std::chrono::milliseconds timeout);

// The fake server program, and an environment that makes it run `script`.
std::filesystem::path fakeServerPath();

class RecordingPlatform final : public Platform {
public:
    struct Alert {
        std::string messageText;
        std::string informativeText;
    };

    // Set by the test.
    ApplicationDelegate* delegate = nullptr;
    std::optional<std::filesystem::path> resource;
    Environment variables;
    bool symbolAvailable = true;

    // Recorded.
    std::vector<std::string> calls; // the name of each platform operation, in order
    Menu mainMenu;
    Menu statusMenu;
    std::string statusSymbol;
    std::string statusTitle;
    std::vector<Alert> alerts;
    std::vector<std::string> openedURLs;
    std::vector<ExitStatus> terminations;

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

    // Runs the next step of the main queue, waiting for one up to `timeout`.
    bool runNextStep(std::chrono::milliseconds timeout = scaled(std::chrono::seconds(5)));
    // Runs steps until `done` holds; false if it still does not by `timeout`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = scaled(std::chrono::seconds(5)));
    std::size_t queuedSteps();

private:
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::function<void()>> queue_;
};

} // namespace quillary::testing
