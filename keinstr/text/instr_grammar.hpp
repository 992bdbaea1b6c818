// Instruction lines and terminators of the textual IR.
//
//   instruction = [ Register ":" type "=" ] InstrOp [ type "," ]
//                 ( phi operand list | operand list ) [ label ( "," label )* ]
//                 [ "," "align" Number ] [ "," "volatile" ]
//   phi operand list = "[" operand "," label "]" ( "," "[" operand "," label "]" )*
//   operand list     = [ operand ( "," operand )* ]
//   terminator  = "branch" operand "," label "," label | "trap" | "jump" label
//               | "ret" ( operand | "void" )
//
// The line's pieces go to `validate_instruction`, whose findings carry the
// line's span; the line itself has no end marker (the block reads the line
// break or terminator after it).
#pragma once

#include <optional>
#include <vector>

#include "keinstr/ir/instr.hpp"
#include "keinstr/text/engine.hpp"
#include "keinstr/ir/terminator.hpp"

namespace keinstr {

// One instruction line: the seven pieces, then their validation. Fails only on
// syntax; a line that parses always yields an instruction (the placeholder when
// validation emitted a finding that ends the checks).
std::optional<KeInstr> parse_instruction(Parser& p);
// The same, appending the instruction to `out` (where it is built) instead of
// returning it; false, with `out` unchanged, when the line fails.
bool parse_instruction_into(Parser& p, std::vector<KeInstr>& out);

// One terminator.
std::optional<KeTerminator> parse_terminator(Parser& p);

}  // namespace keinstr
