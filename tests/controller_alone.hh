// The controller without a desktop: a platform that does nothing, the base of
// the tests' own, and a probe that feeds consume and reads the output state.
// For the unit tests, the fuzz target and the benchmarks.
#pragma once

#include "app/app_delegate.hh"
#include "platform/platform.hh"

namespace quillary {

class NoPlatform : public Platform {
public:
    void terminate(ExitStatus) override {}
    void setActivationPolicy(ActivationPolicy) override {}
    void setMainMenu(Menu) override {}
    std::unique_ptr<StatusItem> makeStatusItem() override { return std::make_unique<NoStatusItem>(); }
    void runModalAlert(std::string_view, std::string_view) override {}
    void openURL(std::string_view) override {}
    std::optional<std::filesystem::path> resourcePath(std::string_view) override { return std::nullopt; }
    Environment environment() override { return {}; }
    void async(std::function<void()>) override {}
    std::unique_ptr<ServerProcess> makeServerProcess() override { return nullptr; }
    void debugLog(std::string_view) override {}
};

struct AppDelegateProbe {
    static void consume(AppDelegate& d, std::string_view text) { d.consume(text); }
    static std::deque<std::string> tail(const AppDelegate& d) { return {d.tail.begin(), d.tail.end()}; }
    static std::optional<std::int64_t> port(const AppDelegate& d) { return d.port; }
};

} // namespace quillary
