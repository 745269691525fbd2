// The alert, drawn by the alert module (alert_module.hh), which is opened
// the first time an alert is shown. Once opened, it stays: the types GTK
// registers with GLib cannot be unregistered.
#pragma once

#include <gmodule.h>

#include <filesystem>
#include <string_view>
#include <utility>

namespace quillary {

class ModalAlert {
public:
    // `module`: the alert module's file.
    explicit ModalAlert(std::filesystem::path module) : modulePath_(std::move(module)) {}
    ModalAlert(const ModalAlert&) = delete;
    ModalAlert& operator=(const ModalAlert&) = delete;

    // Writes the alert's texts to standard error, then shows it and returns
    // once it is dismissed (at once where none can be shown).
    void run(std::string_view headline, std::string_view explanation);
    // Dismisses the alert that run is showing, if any.
    void close();

private:
    std::filesystem::path modulePath_;
    GModule* module_ = nullptr;
};

} // namespace quillary
