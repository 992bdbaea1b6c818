// InstructionFlags: a 32-bit set of instruction-class bits, the payload of
// the instruction-count statistic of "!analysis".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace keinstr {

// Named members in declared order: name and bits. Composite members include
// the bits of the members they extend.
// clang-format off
#define KE_INSTRUCTION_FLAGS_TABLE(X) \
    X(META, 0x1)                      \
    X(SIMPLE, 0x2)                    \
    X(ARITHMETIC, 0x40)               \
    X(ARITHMETIC_INT, 0xC0)           \
    X(ARITHMETIC_FP, 0x140)           \
    X(INVOKE, 0x200)                  \
    X(MEMORY, 0x400)                  \
    X(CONTROL_FLOW, 0x800)            \
    X(TERMINATOR, 0x1800)
// clang-format on

struct InstructionFlagMember {
    std::string_view name;
    std::uint32_t bits;
};

#define KE_IFLAG_MEMBER_(name, bits) InstructionFlagMember{#name, bits},
inline constexpr std::array kInstructionFlagMembers{KE_INSTRUCTION_FLAGS_TABLE(KE_IFLAG_MEMBER_)};
#undef KE_IFLAG_MEMBER_

struct InstructionFlags {
    std::uint32_t bits = 0;

#define KE_IFLAG_DECL_(name, value) static const InstructionFlags name;
    KE_INSTRUCTION_FLAGS_TABLE(KE_IFLAG_DECL_)
#undef KE_IFLAG_DECL_

    // Union of every named member's bits (0x1FC3).
    static constexpr std::uint32_t kAllBits = [] {
        std::uint32_t all = 0;
        for (const auto& m : kInstructionFlagMembers) all |= m.bits;
        return all;
    }();

    // Keeps only the bits of named members.
    static constexpr InstructionFlags from_bits_truncate(std::uint32_t value) {
        return InstructionFlags{value & kAllBits};
    }

    constexpr bool empty() const { return bits == 0; }
    constexpr bool contains(InstructionFlags other) const { return (bits & other.bits) == other.bits; }
    constexpr InstructionFlags operator|(InstructionFlags other) const { return InstructionFlags{bits | other.bits}; }
    constexpr bool operator==(const InstructionFlags&) const = default;
};

#define KE_IFLAG_DEF_(name, value) inline constexpr InstructionFlags InstructionFlags::name{value};
KE_INSTRUCTION_FLAGS_TABLE(KE_IFLAG_DEF_)
#undef KE_IFLAG_DEF_

static_assert(InstructionFlags::kAllBits == 0x1FC3);

// Member names contained in the set joined by " | " (a composite member is
// named when it adds bits not yet covered), leftover bits as "0x..." in
// lower-case hexadecimal; "0x0" for the empty set.
std::string flags_text(InstructionFlags flags);

// Debug form: "InstructionFlags(" + flags_text + ")".
std::string debug_string(InstructionFlags flags);

}  // namespace keinstr
