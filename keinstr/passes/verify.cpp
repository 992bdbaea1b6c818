// The verifier: what a function or module must satisfy before anything else reads it.
// The front end checks syntax and operand shapes; everything below is checked here, on
// text and on loaded storage alike, and the first violation is reported in this order:
//   1. the type variables a function uses are exactly those it declares;
//   2. meta instructions appear only in meta-functions;
//   3. the phis of a block form an unbroken run at its start;
//   4. every branch and jump target (both targets of a branch) is a block of the function;
//   5. every register is defined once (parameters count as definitions);
//   6. every register used is defined somewhere in the function;
//   7-10. the limits: blocks per function, instructions per block and per function,
//      parameters, type variables;
//   11. the entry block (label 0) exists;
//   12. with a module: every internal function pointer names a function of the module
//      (or the function itself), every external one an external function of the module.
// Types are not checked here: the type checker (keinstr/passes/type_check.hpp) runs on
// verified functions only.
#include "keinstr/passes/verify.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "keinstr/ir/instruction_walk.hpp"
#include "keinstr/ir/name_table.hpp"
#include "keinstr/ir/record_fields.hpp"
#include "keinstr/utils/uuid_table.hpp"

namespace keinstr {

namespace {

using VerifyResult = std::expected<void, Error>;

std::vector<std::string> wildcard_names(const std::set<std::uint16_t>& numbers) {
    std::vector<std::string> names;
    names.reserve(numbers.size());
    for (std::uint16_t n : numbers) names.push_back(wildcard_name(n));
    return names;
}

// The type variable `t` names, if any. A registered type's handle fails on its first
// byte already (a type variable's bytes 0 to 5 are all 0xFF), which is checked inline.
std::optional<std::uint16_t> type_variable_of(const Typeref& t) noexcept {
    if (t.uuid.bytes[0] != 0xFF) return std::nullopt;
    return t.type_variable_number();
}

// Room for the usual register numbers of a function with `defs` definitions in the
// dense part of a NameSet: the front end numbers registers densely.
std::size_t dense_name_limit(std::size_t defs) { return 2 * defs + 1024; }

// What the one walk over the function finds. Each check keeps its first finding in the
// order the check alone would meet it, so the findings are reported in step order
// afterwards: the definitions (steps 1 to 5), the uses (step 6), the limits of step 7 and
// the function pointers.
struct FunctionWalk {
    std::set<std::uint16_t> used_wildcards;
    const KeInstr* first_meta = nullptr;
    std::optional<Label> phi_not_first;
    std::optional<Label> undefined_block;
    std::optional<Name> redefined;
    const BlockMap::value_type* oversized_block = nullptr;
    // Registers used before the walk met a definition of theirs, in walk order: each
    // is undefined unless defined further on.
    std::vector<Name> pending_uses;
    std::optional<Error> bad_pointer;
};

// The function pointers of one operand name functions of `module`: a function may
// name itself before it is inserted. `internal` tells whether a UUID is a key of the
// module's function map.
template <class InternalLookup>
VerifyResult check_function_pointer(const Module& module, const Function& function, const Operand& operand,
                                    const InternalLookup& internal) {
    const AnyConst* c = operand.as_imm();
    const auto* ptr = c ? std::get_if<FunctionPointer>(c) : nullptr;
    if (!ptr) return {};
    if (ptr->kind == FunctionPointerKind::Internal) {
        if (ptr->uuid == function.uuid || internal(ptr->uuid)) return {};
        return std::unexpected(Error{Error::UndefinedInternalFunction{function.display_name(), ptr->uuid}});
    }
    if (!module.external_functions.contains(ptr->uuid)) {
        return std::unexpected(Error{Error::UndefinedExternalFunction{function.display_name(), ptr->uuid}});
    }
    return {};
}

// The function's own rules; with `module`, then the function pointers of its
// instructions (Module::verify_func), whose finding comes after every other.
// `internal` tells whether a UUID names a function of `module`.
template <class InternalLookup>
VerifyResult verify_function(const Function& f, const Module* module, const InternalLookup& internal) {
    std::size_t total_instructions = 0;
    for (const auto& [label, block] : f.body) total_instructions += block.instructions.size();

    // One walk: the type variables used (step 1), the first meta instruction (step 2),
    // phi placement (step 3), terminator targets (step 4), single definition (step 5),
    // register uses (step 6), the size of each block (step 7) and the function pointers.
    // A use is settled at once when its register is defined already; the others wait
    // for the end of the walk, when every definition is known.
    FunctionWalk walk;
    NameSet defined(dense_name_limit(f.params.size() + total_instructions));
    for (const auto& [name, ty] : f.params) {
        if (auto n = type_variable_of(ty)) walk.used_wildcards.insert(*n);
        if (!defined.insert(name) && !walk.redefined) walk.redefined = name;
    }
    const auto use = [&](const Name& reg) {
        if (!defined.contains(reg)) walk.pending_uses.push_back(reg);
    };
    const bool meta_allowed = f.meta_function;
    for (auto it = f.body.begin(); it != f.body.end(); ++it) {
        prefetch_next_block(f.body, it);
        const BasicBlock& block = it->second;
        bool past_phis = false;
        for (const auto& instr : block.instructions) {
            // The instruction's own types, operands and destination in one look at the record.
            const std::optional<Name> dest = std::visit(
                [&](const auto& rec) {
                    record_fields::for_each_type_field(rec, [&](const Typeref& t) {
                        if (auto n = type_variable_of(t)) walk.used_wildcards.insert(*n);
                    });
                    for_each_operand(rec, [&](const Operand& operand) {
                        if (const Name* reg = operand.as_reg()) {
                            use(*reg);
                        } else if (module && !walk.bad_pointer) {
                            if (auto r = check_function_pointer(*module, f, operand, internal); !r) {
                                walk.bad_pointer = std::move(r.error());
                            }
                        }
                    });
                    return record_fields::destination(rec);
                },
                instr.variant());
            const KeInstrOp op = instr.op();
            if (!meta_allowed && !walk.first_meta && is_meta(op)) walk.first_meta = &instr;
            if (op != KeInstrOp::Phi) {
                past_phis = true;
            } else if (past_phis && !walk.phi_not_first) {
                walk.phi_not_first = block.label;
            }
            if (dest && !defined.insert(*dest) && !walk.redefined) walk.redefined = *dest;
        }
        if (const Operand* operand = block.terminator.operand()) {
            if (const Name* reg = operand->as_reg()) use(*reg);
        }
        if (!walk.undefined_block) {
            if (const auto* br = std::get_if<Branch>(&block.terminator)) {
                if (!f.body.contains(br->true_label)) {
                    walk.undefined_block = br->true_label;
                } else if (!f.body.contains(br->false_label)) {
                    walk.undefined_block = br->false_label;
                }
            } else if (const auto* jump = std::get_if<Jump>(&block.terminator)) {
                if (!f.body.contains(jump->target)) walk.undefined_block = jump->target;
            }
        }
        if (!walk.oversized_block && block.instructions.size() > kMaxBlockInstructions) walk.oversized_block = &*it;
    }

    // Step 1: the type variables the function uses are exactly those it declares.
    if (walk.used_wildcards != f.wildcard_types) {
        return std::unexpected(Error{Error::UnsoundWildcardTypes{f.display_name(), wildcard_names(f.wildcard_types),
                                                                 wildcard_names(walk.used_wildcards)}});
    }
    // Step 2: meta instructions only in meta-functions.
    if (walk.first_meta) {
        return std::unexpected(
            Error{Error::MetaInstructionInRegularFunction{f.display_name(), walk.first_meta->debug()}});
    }
    // Step 3: the phis of a block form an unbroken run at its start.
    if (walk.phi_not_first) return std::unexpected(Error{Error::PhiNotFirst{*walk.phi_not_first}});
    // Step 4: every terminator target is a block of the function.
    if (walk.undefined_block)
        return std::unexpected(Error{Error::UndefinedBlock{*walk.undefined_block, f.display_name()}});
    // Step 5: single definition.
    if (walk.redefined) return std::unexpected(Error{Error::SsaMultipleDefinitions{*walk.redefined}});

    // Step 6: every register use is defined somewhere. The definitions only grow during
    // the walk, so the first use left undefined is the first pending one.
    for (const Name& reg : walk.pending_uses) {
        if (!defined.contains(reg)) return std::unexpected(Error{Error::UndefinedName{reg}});
    }

    // Steps 7 to 10: the limits.
    if (f.body.size() > kMaxBasicBlocks) {
        return std::unexpected(Error{Error::TooManyBasicBlocks{f.display_name(), f.body.size(), kMaxBasicBlocks}});
    }
    if (walk.oversized_block) {
        const auto& [label, block] = *walk.oversized_block;
        return std::unexpected(Error{Error::TooManyBlockInstructions{label, f.display_name(), block.instructions.size(),
                                                                     kMaxBlockInstructions}});
    }
    if (total_instructions > kMaxFunctionInstructions) {
        return std::unexpected(
            Error{Error::TooManyInstructions{f.display_name(), total_instructions, kMaxFunctionInstructions}});
    }
    if (f.params.size() > kMaxParameters) {
        return std::unexpected(Error{Error::TooManyParameters{f.display_name(), f.params.size(), kMaxParameters}});
    }
    if (f.wildcard_types.size() > kMaxWildcardTypes) {
        return std::unexpected(
            Error{Error::TooManyWildcardTypes{f.display_name(), f.wildcard_types.size(), kMaxWildcardTypes}});
    }
    // The entry block is checked last.
    if (!f.body.contains(Label{0})) return std::unexpected(Error{Error::MissingEntryBlock{}});
    if (walk.bad_pointer) return std::unexpected(std::move(*walk.bad_pointer));
    return {};
}

const auto kNoModule = [](const Uuid&) { return false; };

}  // namespace

std::expected<void, Error> Function::verify() const { return verify_function(*this, nullptr, kNoModule); }

std::expected<void, Error> Module::verify_func(const Function& function) const {
    const auto internal = [&](const Uuid& u) { return functions.contains(u); };
    for (const auto& [label, block] : function.body) {
        for (const auto& instr : block.instructions) {
            for (const Operand& operand : instr.operands()) {
                if (auto r = check_function_pointer(*this, function, operand, internal); !r) return r;
            }
        }
    }
    return {};
}

std::expected<void, Error> Module::verify_added(std::vector<Uuid> added) const {
    // Every function is new: the whole-module walk, with its hashed function table.
    if (added.size() >= functions.size()) return verify();
    std::sort(added.begin(), added.end());
    const auto internal = [&](const Uuid& u) { return functions.contains(u); };
    for (const Uuid& uuid : added) {
        const auto it = functions.find(uuid);
        if (it == functions.end() || !it->second) continue;
        if (auto r = verify_function(*it->second, this, internal); !r) return r;
    }
    return {};
}

std::expected<void, Error> Module::verify() const {
    // The module's function UUIDs, hashed once for every function pointer of every
    // function; the functions in UUID order beside them, so the map is walked once.
    UuidTable<char> keys(functions.size());
    std::vector<const Function*> ordered;
    ordered.reserve(functions.size());
    for (const auto& [uuid, function] : functions) {
        keys.try_emplace(uuid, 0);
        if (function) ordered.push_back(function.get());
    }
    const auto internal = [&](const Uuid& u) { return keys.contains(u); };
    for (const Function* function : ordered) {
        if (auto r = verify_function(*function, this, internal); !r) return r;
    }
    return {};
}

}  // namespace keinstr
