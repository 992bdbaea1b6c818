// The runtime's log call.
//
// Every call reads the local clock, formats its message, builds a
// LogMessageEXT with the fixed origin of its call site and hands it to the
// instance's log hook. There is no level check here: filtering is the hook's
// business. A log call cannot fail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "kecore/ext/kelog/log.hpp"
#include "kecore/utils/local_time.hpp"

namespace kecore {

class InstanceContext;

// Module path and source file (from the workspace root) of a call site.
struct LogOrigin {
    std::string_view module;
    std::string_view file;
};

inline constexpr LogOrigin kLogOriginBase{"kecore::base", "kecore/src/base/mod.cpp"};
inline constexpr LogOrigin kLogOriginCompiler{"kecore::compiler", "kecore/src/compiler.cpp"};

// Builds the record and calls the instance's current hook with it.
void log_record(const InstanceContext& instance, LogLevelEXT level, const LogOrigin& origin, std::uint32_t line,
                NaiveDateTime timepoint, std::string message) noexcept;

// Whether a record of `level` would be kept by the instance's hook (see
// InstanceContext::log_wanted). Records nobody keeps are not made at all.
bool log_wanted(const InstanceContext& instance, LogLevelEXT level) noexcept;

template <class... Args>
void log_message(const InstanceContext& instance, LogLevelEXT level, const LogOrigin& origin, std::uint32_t line,
                 fmt::format_string<Args...> format, Args&&... args) noexcept {
    try {
        NaiveDateTime timepoint = local_now();
        std::string message = fmt::format(format, std::forward<Args>(args)...);
        log_record(instance, level, origin, line, timepoint, std::move(message));
    } catch (...) {
        // Out of memory while formatting: the record is lost, the caller goes on.
    }
}

}  // namespace kecore

// KECORE_LOG(instance, Level, origin, "template {}", args...)
#define KECORE_LOG(instance, level, origin, ...)                                                              \
    do {                                                                                                      \
        if (::kecore::log_wanted((instance), ::kecore::LogLevelEXT::level))                                   \
            ::kecore::log_message((instance), ::kecore::LogLevelEXT::level, (origin), __LINE__, __VA_ARGS__); \
    } while (false)
