#include "keinstr/ir/instruction_flags.hpp"

#include <fmt/format.h>

namespace keinstr {

std::string flags_text(InstructionFlags flags) {
    if (flags.empty()) return "0x0";
    std::string out;
    std::uint32_t remaining = flags.bits;
    for (const auto& member : kInstructionFlagMembers) {
        if (remaining == 0) break;
        if ((flags.bits & member.bits) == member.bits && (remaining & member.bits) != 0) {
            if (!out.empty()) out += " | ";
            out += member.name;
            remaining &= ~member.bits;
        }
    }
    if (remaining != 0) {
        if (!out.empty()) out += " | ";
        out += fmt::format("{:#x}", remaining);
    }
    return out;
}

std::string debug_string(InstructionFlags flags) { return "InstructionFlags(" + flags_text(flags) + ")"; }

}  // namespace keinstr
