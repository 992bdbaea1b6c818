#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Logging facade of the IR core and the textual front end. Its level is off: records are
// neither built nor emitted unless a level is enabled (which only tests do). Texts are
// produced lazily by a callable, so they cost nothing while the level is off.

namespace keinstr {

enum class LogLevel : std::uint8_t { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4 };

inline constexpr std::string_view kLogTargetTypes = "keinstr::types";
inline constexpr std::string_view kLogTargetParser = "keinstr::modules::parser";

// True when records of `level` for `target` are enabled.
bool log_enabled(std::string_view target, LogLevel level) noexcept;

// Receives enabled records.
using LogSink = std::function<void(std::string_view target, LogLevel level, std::string_view text)>;

// Enables records at `min_level` and above (nullopt: off, the default) and installs the
// sink that receives them (nullptr: records are dropped). Meant for tests.
void set_log_level(std::optional<LogLevel> min_level);
void set_log_sink(LogSink sink);

// Emits an already built record (call only after log_enabled).
void log_emit(std::string_view target, LogLevel level, std::string_view text);

// Builds the text with `make_text()` and emits it, only when the level is enabled.
template <class F>
inline void log_lazy(std::string_view target, LogLevel level, F&& make_text) {
    if (log_enabled(target, level)) {
        const std::string text = std::forward<F>(make_text)();
        log_emit(target, level, text);
    }
}

}  // namespace keinstr

// KEINSTR_LOG(target, level, <expression producing a std::string>)
#define KEINSTR_LOG(target, level, ...) \
    ::keinstr::log_lazy((target), (level), [&]() -> std::string { return (__VA_ARGS__); })
