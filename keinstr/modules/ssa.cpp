#include <cstddef>
#include <cstdint>

#include "keinstr/modules/function.hpp"
#include "keinstr/modules/name_table.hpp"

namespace keinstr {

// Numbers parameters first, then destinations in block and instruction order, and
// rewrites every register use through the resulting map.
//
// A register that is used but never defined gets a number of its own after all
// definitions (in order of first use), so it can never be confused with a defined
// register; verification then reports it as an undefined name.
void Function::normalize_ssa() {
    std::size_t definitions = params.size();
    for (const auto& [label, block] : body) definitions += block.instructions.size();

    NameMap renamed(2 * definitions + 1024);
    std::uint32_t counter = 0;

    for (auto& [name, ty] : params) {
        renamed.assign(name, Name{counter});
        name = Name{counter++};
    }
    for (auto& [label, block] : body) {
        for (auto& instr : block.instructions) {
            auto old = instr.destination();
            if (!old) continue;
            renamed.assign(*old, Name{counter});
            std::visit(
                [&](auto& rec) {
                    // `dest` is a Name, or an optional Name (invoke) known to be present.
                    if constexpr (requires { rec.dest = Name{}; }) rec.dest = Name{counter};
                },
                instr.variant());
            ++counter;
        }
    }

    const auto rewrite = [&](Operand& operand) {
        Name* reg = operand.as_reg();
        if (!reg) return;
        if (auto fresh = renamed.find(*reg)) {
            *reg = *fresh;
            return;
        }
        renamed.assign(*reg, Name{counter});
        *reg = Name{counter++};
    };
    for (auto& [label, block] : body) {
        for (auto& instr : block.instructions) {
            for (Operand& operand : instr.operands_mut()) rewrite(operand);
        }
        if (Operand* operand = block.terminator.operand_mut()) rewrite(*operand);
    }
}

}  // namespace keinstr
