// A platform that does nothing, for driving the controller's output road
// alone (the fuzz target, the benchmarks) and as the base of the tests' own.
#pragma once

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

} // namespace quillary
