// The entry of the textual IR front end: one source text into functions of a
// module.
#pragma once

#include <expected>
#include <string_view>

#include "keinstr/ir/module.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/ir/error.hpp"

namespace keinstr {

// Lexes and parses `source`, renumbers each function's registers, resolves the
// names of function-pointer constants, inserts the functions into `module` and
// verifies the whole module. Types met while parsing are interned into
// `registry` and stay there whatever the outcome.
//
// Name resolution: a name that a function already in `module` carries resolves
// to the first such function in UUID order (for "ptr external", to an external
// function of `module`); any other internal name must be defined by exactly one
// function of this source. No text construct declares an external function.
//
// Failures, in the order the steps run (the first one ends the call):
//   lexing findings      ParserErrors (one record per finding, no token texts)
//   parsing findings     ParserErrors (one record per finding, then the syntax
//                        failure; the debug text of every token)
//   an import            ParserErrors (one record at 0..0; token texts)
//   unresolved name      UnresolvedFunction (internal: the first such name in
//                        order of first use; external: all such names joined
//                        by ", ", in order of first use)
//   name defined twice   DuplicateFunctionName, when referenced
//   verification         the verification error
// `module` changes only when every step before verification succeeded; a
// failed verification leaves this source's functions inserted.
//
// With `arena`, the blocks' instruction arrays are allocated in it (the arena
// must then outlive the module and everything moved out of it); without, on
// the heap.
//
// `prior` says what is known of the functions `module` holds before the call.
// Functions that passed verification stay valid when functions are added (the
// pointers they hold still name functions of the module), so with
// PriorFunctions::Verified only this source's functions are verified: the same
// finding as verifying the whole module, in time that does not grow with the
// functions already there (a module built from many sources, source by source).
enum class PriorFunctions { Unverified, Verified };
std::expected<void, Error> extend_module_from_string(Module& module, const TypeRegistry& registry,
                                                     std::string_view source, Arena* arena = nullptr,
                                                     PriorFunctions prior = PriorFunctions::Unverified);

}  // namespace keinstr
