// Everything the user sees and what other programs rely on, named once.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace quillary {

// The name the build gives the application, as its bundle and desktop entry have it.
inline constexpr std::string_view kAppName = QUILLARY_APP_NAME;
inline constexpr std::string_view kOpenTitle = "Открыть Quillary";
inline constexpr std::string_view kQuitTitle = "Выйти из Quillary";
inline constexpr std::string_view kOpenKey = "o";
inline constexpr std::string_view kQuitKey = "q";
inline constexpr std::string_view kStatusSymbol = "arrow.down.circle";

inline constexpr std::string_view kAlertHeadline = "Quillary не запустился";
inline constexpr std::string_view kNoMessage = "Сервер завершился без сообщения.";
inline constexpr std::string_view kServerMissing = "Не найден встроенный сервер (quillary-bin).";
inline constexpr std::string_view kLaunchFailed = "Не удалось запустить сервер: ";

inline constexpr std::string_view kServerResource = "quillary-bin";
inline constexpr std::string_view kAppVariable = "QUILLARY_APP";
inline constexpr std::string_view kAppVariableValue = "1";

inline constexpr std::string_view kWebAddressPrefix = "http://localhost:";

// Lines of server output kept for the failure report, and how many of them it shows.
inline constexpr std::size_t kTailLines = 12;
inline constexpr std::size_t kReportLines = 4;

// How long a quitting launcher waits for the server after its one SIGTERM.
inline constexpr std::chrono::milliseconds kShutdownGrace{1500};

} // namespace quillary
