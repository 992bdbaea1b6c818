// Calling conventions: fourteen named conventions and `Numbered`(n).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keinstr {

// The fourteen named conventions: debug name and text, in declared order.
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

#define KE_CC_KIND_VALUE_(name, text) name,
// Variant of a calling convention; the number is the borsh tag. `Numbered`
// (the last) carries a 32-bit number.
enum class CallingConventionKind : std::uint8_t {
    KE_CALLING_CONVENTION_TABLE(KE_CC_KIND_VALUE_) Numbered
};
#undef KE_CC_KIND_VALUE_

#define KE_CC_TEXT_(name, text) std::string_view{text},
#define KE_CC_DEBUG_(name, text) std::string_view{#name},
// Texts and debug names of the named conventions, indexed by kind.
inline constexpr std::array kCallingConventionTexts{KE_CALLING_CONVENTION_TABLE(KE_CC_TEXT_)};
inline constexpr std::array kCallingConventionDebugNames{
    KE_CALLING_CONVENTION_TABLE(KE_CC_DEBUG_) std::string_view{"Numbered"}};
#undef KE_CC_TEXT_
#undef KE_CC_DEBUG_

// Number of named conventions (the kinds before `Numbered`).
inline constexpr std::size_t kNamedCallingConventionCount = kCallingConventionTexts.size();
static_assert(static_cast<std::size_t>(CallingConventionKind::Numbered) ==
              kNamedCallingConventionCount);

class CallingConvention {
public:
    // A named convention; `Numbered` given here means `Numbered`(0).
    constexpr CallingConvention(CallingConventionKind kind = CallingConventionKind::C)
        : kind_(kind) {}

    static constexpr CallingConvention numbered(std::uint32_t n) {
        CallingConvention cc(CallingConventionKind::Numbered);
        cc.number_ = n;
        return cc;
    }

    // The convention with the given borsh tag (0..14); `number` is used only
    // for `Numbered`. None for a tag out of range.
    static constexpr std::optional<CallingConvention> from_tag(std::uint64_t tag,
                                                               std::uint32_t number = 0) {
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
