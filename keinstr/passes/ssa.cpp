#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "keinstr/ir/function.hpp"
#include "keinstr/ir/instruction_walk.hpp"
#include "keinstr/ir/name_table.hpp"
#include "keinstr/ir/record_fields.hpp"

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
    for (auto it = body.begin(); it != body.end(); ++it) {
        prefetch_next_block(body, it);
        for (auto& instr : it->second.instructions) {
            // The destination read and replaced in one look at the record: a Name, or an
            // optional Name (invoke) renumbered only when present.
            std::visit(
                [&](auto& rec) {
                    if constexpr (requires { rec.dest; }) {
                        const std::optional<Name> old = record_fields::destination(rec);
                        if (!old) return;
                        renamed.assign(*old, Name{counter});
                        rec.dest = Name{counter};
                        ++counter;
                    }
                },
                instr.variant());
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
            std::visit([&](auto& rec) { for_each_operand(rec, rewrite); }, instr.variant());
        }
        if (Operand* operand = block.terminator.operand_mut()) rewrite(*operand);
    }
}

}  // namespace keinstr
