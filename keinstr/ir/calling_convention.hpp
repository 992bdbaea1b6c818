// Calling conventions: fourteen named conventions and `Numbered`(n).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "keinstr/utils/enum_table.hpp"

namespace keinstr {

// The fourteen named conventions: debug name and text, in declared order.
// clang-format off
#define KE_CALLING_CONVENTION_TABLE(X)    \
    X(C, "cc")                            \
    X(FastC, "fastcc")                    \
    X(ColdC, "coldcc")                    \
    X(GhcC, "ghccc")                      \
    X(HipeC, "hipecc")                    \
    X(AnyRegC, "anyregcc")                \
    X(PreserveMostC, "preservemostcc")    \
    X(PreserveAllC, "preserveallcc")      \
    X(PreserveNoneC, "preservenonecc")    \
    X(CxxFastTlsC, "cxx_fast_tlscc")      \
    X(TailC, "tailcc")                    \
    X(SwiftC, "swiftcc")                  \
    X(SwiftTailC, "swifttailcc")          \
    X(CfguardCheckC, "cfguard_checkcc")
// clang-format on

// Every variant of a calling convention: the named conventions, then
// `Numbered`, which carries a 32-bit number and has no word of its own (it is
// written "cc" and its number). The number is the borsh tag.
#define KE_CALLING_CONVENTION_KIND_TABLE(X) KE_CALLING_CONVENTION_TABLE(X) X(Numbered, "")
KE_DEFINE_TABLE_ENUM(CallingConventionKind, calling_convention_kind, KE_CALLING_CONVENTION_KIND_TABLE)

// Number of named conventions (the kinds before `Numbered`).
inline constexpr std::size_t kNamedCallingConventionCount = enum_count<CallingConventionKind> - 1;
static_assert(static_cast<std::size_t>(CallingConventionKind::Numbered) == kNamedCallingConventionCount);

// Texts of the named conventions, and debug names of every kind, indexed by kind.
inline constexpr std::array kCallingConventionTexts{KE_CALLING_CONVENTION_TABLE(KE_ENUM_TABLE_WORD_)};
inline constexpr const auto& kCallingConventionDebugNames = EnumTable<CallingConventionKind>::debug_names;
static_assert(kCallingConventionTexts.size() == kNamedCallingConventionCount);

class CallingConvention {
public:
    // A named convention; `Numbered` given here means `Numbered`(0).
    constexpr CallingConvention(CallingConventionKind kind = CallingConventionKind::C) : kind_(kind) {}

    static constexpr CallingConvention numbered(std::uint32_t n) {
        CallingConvention cc(CallingConventionKind::Numbered);
        cc.number_ = n;
        return cc;
    }

    // The convention with the given borsh tag (0..14); `number` is used only
    // for `Numbered`. None for a tag out of range.
    static constexpr std::optional<CallingConvention> from_tag(std::uint64_t tag, std::uint32_t number = 0) {
        if (tag > kNamedCallingConventionCount) return std::nullopt;
        auto kind = static_cast<CallingConventionKind>(tag);
        if (kind == CallingConventionKind::Numbered) return numbered(number);
        return CallingConvention(kind);
    }

    constexpr CallingConventionKind kind() const { return kind_; }
    constexpr std::uint8_t tag() const { return static_cast<std::uint8_t>(kind_); }
    // The number of `Numbered`; 0 for a named convention.
    constexpr std::uint32_t number() const { return number_; }
    constexpr bool is_numbered() const { return kind_ == CallingConventionKind::Numbered; }

    // "cc", "fastcc", ..., or "cc{}" for `Numbered`.
    std::string to_string() const;
    // Debug form: the debug name, or "Numbered(N)".
    std::string debug_string() const;

    // Exact parse: a named text first, then "cc" followed by an unsigned
    // 32-bit decimal number (optional leading "+").
    static std::optional<CallingConvention> from_str(std::string_view text);

    constexpr bool operator==(const CallingConvention&) const = default;

private:
    CallingConventionKind kind_;
    std::uint32_t number_ = 0;
};

}  // namespace keinstr
