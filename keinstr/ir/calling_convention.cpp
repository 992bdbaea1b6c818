#include "keinstr/ir/calling_convention.hpp"

#include <fmt/format.h>

namespace keinstr {

std::string CallingConvention::to_string() const {
    if (is_numbered()) return fmt::format("cc{}", number_);
    return std::string(kCallingConventionTexts[tag()]);
}

std::string CallingConvention::debug_string() const {
    if (is_numbered()) return fmt::format("Numbered({})", number_);
    return std::string(kCallingConventionDebugNames[tag()]);
}

std::optional<CallingConvention> CallingConvention::from_str(std::string_view text) {
    for (std::size_t i = 0; i < kNamedCallingConventionCount; ++i) {
        if (kCallingConventionTexts[i] == text) {
            return CallingConvention(static_cast<CallingConventionKind>(i));
        }
    }
    if (text.size() < 3 || !text.starts_with("cc")) return std::nullopt;
    std::string_view rest = text.substr(2);
    if (rest.front() == '+') rest.remove_prefix(1);
    if (rest.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : rest) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFF'FFFFull) return std::nullopt;
    }
    return numbered(static_cast<std::uint32_t>(value));
}

}  // namespace keinstr
