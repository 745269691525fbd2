// Reads the controller's output state and feeds its consume, for tests only.
#pragma once

#include "app/app_delegate.hh"

namespace quillary {

struct AppDelegateProbe {
    static void consume(AppDelegate& d, std::string_view text) { d.consume(text); }
    static const std::deque<std::string>& tail(const AppDelegate& d) { return d.tail; }
    static std::optional<std::int64_t> port(const AppDelegate& d) { return d.port; }
};

} // namespace quillary
