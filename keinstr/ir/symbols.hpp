#pragma once

// The two names a function body uses: registers (Name, "%N") and block labels
// (Label, "block_N"; label 0 is the entry). Both are dense 32-bit numbers assigned by
// the front end or by renumbering (keinstr/passes/ssa.cpp); texts the source used are
// kept only for diagnostics.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <fmt/format.h>

namespace keinstr {

// A register: dense per function, numbered from 0.
struct Name {
    std::uint32_t id = 0;

    constexpr auto operator<=>(const Name&) const = default;
    constexpr bool operator==(const Name&) const = default;

    // Debug form and display: "%{}".
    std::string debug() const { return "%" + std::to_string(id); }
};

// A basic block label; label 0 is the entry block.
struct Label {
    std::uint32_t id = 0;

    constexpr auto operator<=>(const Label&) const = default;
    constexpr bool operator==(const Label&) const = default;

    // Display: "block_{}"; alternate form "label block_{}".
    std::string to_string(bool alternate = false) const {
        return (alternate ? "label block_" : "block_") + std::to_string(id);
    }
    // Debug form: "Label({})".
    std::string debug() const { return "Label(" + std::to_string(id) + ")"; }
};

}  // namespace keinstr

template <>
struct std::hash<keinstr::Name> {
    std::size_t operator()(const keinstr::Name& n) const noexcept { return std::hash<std::uint32_t>{}(n.id); }
};
template <>
struct std::hash<keinstr::Label> {
    std::size_t operator()(const keinstr::Label& l) const noexcept { return std::hash<std::uint32_t>{}(l.id); }
};

// "{}" prints %N.
template <>
struct fmt::formatter<keinstr::Name> : fmt::formatter<std::string_view> {
    auto format(const keinstr::Name& n, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(n.debug(), ctx);
    }
};

// "{}" prints block_N, "{:#}" prints label block_N.
template <>
struct fmt::formatter<keinstr::Label> {
    bool alternate = false;
    constexpr auto parse(fmt::format_parse_context& ctx) {
        auto it = ctx.begin();
        if (it != ctx.end() && *it == '#') {
            alternate = true;
            ++it;
        }
        return it;
    }
    auto format(const keinstr::Label& l, fmt::format_context& ctx) const {
        const std::string s = l.to_string(alternate);
        return std::copy(s.begin(), s.end(), ctx.out());
    }
};
