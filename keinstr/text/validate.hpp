// Validation of instruction lines: the per-opcode rules that turn the pieces the
// grammar collected into one `KeInstr`, and the check of the number after
// "align". Both emit findings and never fail: after a finding the parse goes on
// and is rejected as a whole at its end.
#pragma once

#include <cstdint>
#include <vector>

#include "keinstr/ir/instr.hpp"
#include "keinstr/text/engine.hpp"
#include "keinstr/text/instr_pieces.hpp"

namespace keinstr {

// Numbers the destination (after every register the line's operands named),
// checks the pieces in a fixed order and appends the instruction to `out`
// (exactly one, built in place). Every finding
// carries `span` (the whole line). A broken rule of the shape of the line
// (additional type, pair form, destination, label list, variant count and
// presence, operand count, an opcode's own arity) ends the checks and yields the
// placeholder `fallback_instruction()`; a misplaced alignment or volatile mark,
// an unknown variant word and bad indices are reported in addition to what
// follows. The operand and label lists of `pieces` are consumed.
void validate_instruction(InstrPieces& pieces, TokenRange span, Parser& p, std::vector<KeInstr>& out);

// The placeholder a rejected line yields: "!assert" of the i64 immediate 1.
KeInstr fallback_instruction();

// The number after "align": 1 to 4294967295 is the alignment; anything else
// emits "invalid alignment value: must be between 1 and 4294967295, got N" at
// `span` (the comma to the number) and yields the low 32 bits of N's magnitude.
std::uint32_t check_alignment(Parser& p, const Token& number, TokenRange span);

}  // namespace keinstr
