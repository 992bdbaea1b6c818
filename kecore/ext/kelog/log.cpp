#include "kecore/ext/kelog/log.hpp"

#include <fmt/format.h>

namespace kecore {

std::string_view to_string(LogLevelEXT level) noexcept { return keinstr::word(level); }

std::optional<LogLevelEXT> log_level_from_value(std::uint32_t value) noexcept {
    return keinstr::enum_from_index<LogLevelEXT>(value);
}

std::string LogCallbackEXT::debug() const {
    return fmt::format("LogCallbackEXT {{ 0: \"{}\" }}", fmt::ptr(target_ ? target_->address() : nullptr));
}

std::string LogCreateInfoEXT::debug() const {
    return fmt::format("LogCreateInfoEXT {{ level: {}, callback: {} }}", to_string(level), callback.debug());
}

}  // namespace kecore
