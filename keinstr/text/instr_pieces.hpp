// The pieces of one instruction line, as the grammar collects them and the
// instruction validation checks and assembles them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "keinstr/ir/enums.hpp"
#include "keinstr/ir/operand.hpp"
#include "keinstr/text/token.hpp"
#include "keinstr/ir/symbols.hpp"
#include "keinstr/types/types.hpp"

namespace keinstr {

// The destination register as written (not yet numbered) and its type.
struct InstrDestination {
    std::string_view name;
    Typeref ty;
};

struct InstrPieces {
    // 1. "%name: type =" before the opcode.
    std::optional<InstrDestination> destination;
    // 2. The opcode and its variant words (views of the source).
    KeInstrOp op = KeInstrOp::IAdd;
    Variants variants;
    // 3. "type ," after the opcode.
    std::optional<Typeref> additional_type;
    // 4. Either plain operands or [operand, label] pairs (`phi_form`).
    bool phi_form = false;
    std::vector<Operand> operands;
    std::vector<std::pair<Operand, Label>> pairs;
    // 5. Labels after the operands (possibly none).
    std::vector<Label> labels;
    // 6. ", align N" (already checked).
    std::optional<std::uint32_t> alignment;
    // 7. ", volatile".
    bool is_volatile = false;

    // Back to an empty line, keeping the lists' capacity.
    void reset() noexcept {
        destination.reset();
        op = KeInstrOp::IAdd;
        variants = Variants{};
        additional_type.reset();
        phi_form = false;
        operands.clear();
        pairs.clear();
        labels.clear();
        alignment.reset();
        is_volatile = false;
    }
};

}  // namespace keinstr
