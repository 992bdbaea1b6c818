// Registers, labels, constants and operands of the textual IR:
//
//   register  = Register                                   (label "register")
//   label     = Identifier                                 (label "label")
//   constant  = IType Number                               ("integer constant")
//             | FType Decimal                              ("floating-point constant")
//             | "ptr" ["external"] Identifier              ("function pointer")
//   operand   = register | type "undef" ("undef operand") | constant ("immediate operand")
//
// The typed undef is tried before the constant, so the type in front of a
// constant (and the "ptr" of a function pointer) is interned before that
// alternative gives way.
#pragma once

#include <optional>

#include "keinstr/ir/constants.hpp"
#include "keinstr/ir/operand.hpp"
#include "keinstr/text/engine.hpp"

namespace keinstr {

// A `Register` token numbered through `State::get_register` (label "register").
std::optional<Name> register_parser_a(Parser& p);

// An `Identifier` token numbered through `State::get_label` under its word and
// variants joined by "." (label "label").
std::optional<Label> label_parser(Parser& p);

// Integer, floating-point or function-pointer constant. An unknown function emits
// "{}function pointer '{}' not found" over the constant and yields an internal
// pointer to the nil UUID.
std::optional<AnyConst> constant_parser(Parser& p);

// Register, typed undef or immediate operand.
std::optional<Operand> operand_parser(Parser& p);

}  // namespace keinstr
