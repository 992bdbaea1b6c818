#include "kecore/ext/kelog/log.hpp"

#include <fmt/format.h>

namespace kecore {

std::string_view to_string(LogLevelEXT level) noexcept {
    switch (level) {
#define KECORE_LOG_LEVEL_TEXT(name, value) \
    case LogLevelEXT::name:                \
        return #name;
        KECORE_LOG_LEVELS(KECORE_LOG_LEVEL_TEXT)
#undef KECORE_LOG_LEVEL_TEXT
    }
    return {};
}

std::optional<LogLevelEXT> log_level_from_value(std::uint32_t value) noexcept {
    switch (value) {
#define KECORE_LOG_LEVEL_VALUE(name, v) \
    case v:                             \
        return LogLevelEXT::name;
        KECORE_LOG_LEVELS(KECORE_LOG_LEVEL_VALUE)
#undef KECORE_LOG_LEVEL_VALUE
    }
    return std::nullopt;
}

std::string LogCallbackEXT::debug() const {
    return fmt::format("LogCallbackEXT {{ 0: \"{}\" }}", fmt::ptr(target_ ? target_->address() : nullptr));
}

std::string LogCreateInfoEXT::debug() const {
    return fmt::format("LogCreateInfoEXT {{ level: {}, callback: {} }}", to_string(level), callback.debug());
}

}  // namespace kecore
