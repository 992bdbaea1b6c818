// The textual printer: one line of text per instruction or terminator, for
// people (type-checker messages, logs). Not read back by anything; several
// forms differ from the source language (cast hides its kind, "!prob" shows
// ".prob"/".ev"/".var", ordering and alignment are ", atomic"/", align"
// clauses, registers print by number).
#pragma once

#include <string>

#include "keinstr/ir/instr.hpp"
#include "keinstr/ir/terminator.hpp"
#include "keinstr/types/registry.hpp"

namespace keinstr {

class Module;

// Shown where a destination has no type to print (possible only in damaged
// stored data).
inline constexpr std::string_view kMissingTypeText = "<unknown type>";

// Appends the text of `instr`: "%N: TYPE = " when it defines a register, the
// mnemonic, then the opcode's own rest. Every type is shown through
// `registry`; `module`, when given, names function pointers.
void write_instr(std::string& out, const KeInstr& instr, const TypeRegistry& registry, const Module* module = nullptr);

// Appends the text of `term`; undef operands show their type only with a
// registry.
void write_terminator(std::string& out, const KeTerminator& term, const TypeRegistry* registry = nullptr,
                      const Module* module = nullptr);

}  // namespace keinstr
