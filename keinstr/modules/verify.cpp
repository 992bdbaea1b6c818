#include "keinstr/modules/verify.hpp"

#include <set>
#include <string>
#include <vector>

#include "keinstr/modules/name_table.hpp"

namespace keinstr {

namespace {

using VerifyResult = std::expected<void, Error>;

std::vector<std::string> wildcard_names(const std::set<std::uint16_t>& numbers) {
    std::vector<std::string> names;
    names.reserve(numbers.size());
    for (std::uint16_t n : numbers) names.push_back(wildcard_name(n));
    return names;
}

// Room for the usual register numbers of a function with `defs` definitions in the
// dense part of a NameSet: the front end numbers registers densely.
std::size_t dense_name_limit(std::size_t defs) { return 2 * defs + 1024; }

// Step 1: the type variables the function uses are exactly those it declares.
VerifyResult check_wildcards(const Function& f) {
    std::set<std::uint16_t> used;
    f.generate_wildcard_types(used);
    if (used != f.wildcard_types) {
        return std::unexpected(Error{Error::UnsoundWildcardTypes{f.display_name(), wildcard_names(f.wildcard_types),
                                                                 wildcard_names(used)}});
    }
    return {};
}

// Step 2: meta instructions only in meta-functions.
VerifyResult check_meta(const Function& f) {
    if (f.meta_function) return {};
    for (const auto& [label, block] : f.body) {
        for (const auto& instr : block.instructions) {
            if (instr.is_meta()) {
                return std::unexpected(Error{Error::MetaInstructionInRegularFunction{f.display_name(), instr.debug()}});
            }
        }
    }
    return {};
}

// Step 3: the phis of a block form an unbroken run at its start.
VerifyResult check_phi_placement(const Function& f) {
    for (const auto& [label, block] : f.body) {
        bool past_phis = false;
        for (const auto& instr : block.instructions) {
            if (instr.op() != KeInstrOp::Phi) {
                past_phis = true;
            } else if (past_phis) {
                return std::unexpected(Error{Error::PhiNotFirst{block.label}});
            }
        }
    }
    return {};
}

// Step 4: every terminator target is a block of the function.
VerifyResult check_targets(const Function& f) {
    const auto missing = [&](Label l) {
        return std::unexpected(Error{Error::UndefinedBlock{l, f.display_name()}});
    };
    for (const auto& [label, block] : f.body) {
        if (const auto* br = std::get_if<Branch>(&block.terminator)) {
            if (!f.body.contains(br->true_label)) return missing(br->true_label);
            if (!f.body.contains(br->false_label)) return missing(br->false_label);
        } else if (const auto* jump = std::get_if<Jump>(&block.terminator)) {
            if (!f.body.contains(jump->target)) return missing(jump->target);
        }
    }
    return {};
}

// Steps 5 and 6: single definition, then every register use is defined somewhere.
VerifyResult check_definitions(const Function& f, std::size_t total_instructions) {
    NameSet defined(dense_name_limit(f.params.size() + total_instructions));
    for (const auto& [name, ty] : f.params) {
        if (!defined.insert(name)) return std::unexpected(Error{Error::SsaMultipleDefinitions{name}});
    }
    for (const auto& [label, block] : f.body) {
        for (const auto& instr : block.instructions) {
            if (auto dest = instr.destination()) {
                if (!defined.insert(*dest)) return std::unexpected(Error{Error::SsaMultipleDefinitions{*dest}});
            }
        }
    }
    for (const auto& [label, block] : f.body) {
        for (const auto& instr : block.instructions) {
            for (const Operand& operand : instr.operands()) {
                const Name* reg = operand.as_reg();
                if (reg && !defined.contains(*reg)) return std::unexpected(Error{Error::UndefinedName{*reg}});
            }
        }
        if (const Operand* operand = block.terminator.operand()) {
            const Name* reg = operand->as_reg();
            if (reg && !defined.contains(*reg)) return std::unexpected(Error{Error::UndefinedName{*reg}});
        }
    }
    return {};
}

// Steps 7 to 10: the limits.
VerifyResult check_limits(const Function& f, std::size_t total_instructions) {
    if (f.body.size() > kMaxBasicBlocks) {
        return std::unexpected(Error{Error::TooManyBasicBlocks{f.display_name(), f.body.size(), kMaxBasicBlocks}});
    }
    for (const auto& [label, block] : f.body) {
        if (block.instructions.size() > kMaxBlockInstructions) {
            return std::unexpected(Error{Error::TooManyBlockInstructions{label, f.display_name(),
                                                                         block.instructions.size(),
                                                                         kMaxBlockInstructions}});
        }
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
    return {};
}

}  // namespace

std::expected<void, Error> Function::verify() const {
    std::size_t total_instructions = 0;
    for (const auto& [label, block] : body) total_instructions += block.instructions.size();

    if (auto r = check_wildcards(*this); !r) return r;
    if (auto r = check_meta(*this); !r) return r;
    if (auto r = check_phi_placement(*this); !r) return r;
    if (auto r = check_targets(*this); !r) return r;
    if (auto r = check_definitions(*this, total_instructions); !r) return r;
    if (auto r = check_limits(*this, total_instructions); !r) return r;
    // The entry block is checked last.
    if (!body.contains(Label{0})) return std::unexpected(Error{Error::MissingEntryBlock{}});
    return {};
}

std::expected<void, Error> Module::verify_func(const Function& function) const {
    for (const auto& [label, block] : function.body) {
        for (const auto& instr : block.instructions) {
            for (const Operand& operand : instr.operands()) {
                const AnyConst* c = operand.as_imm();
                const auto* ptr = c ? std::get_if<FunctionPointer>(c) : nullptr;
                if (!ptr) continue;
                if (ptr->kind == FunctionPointerKind::Internal) {
                    // A function may name itself before it is inserted.
                    if (ptr->uuid == function.uuid || functions.contains(ptr->uuid)) continue;
                    return std::unexpected(
                        Error{Error::UndefinedInternalFunction{function.display_name(), ptr->uuid}});
                }
                if (!external_functions.contains(ptr->uuid)) {
                    return std::unexpected(Error{Error::UndefinedExternalFunction{function.display_name(), ptr->uuid}});
                }
            }
        }
    }
    return {};
}

std::expected<void, Error> Module::verify() const {
    for (const auto& [uuid, function] : functions) {
        if (!function) continue;
        if (auto r = function->verify(); !r) return r;
        if (auto r = verify_func(*function); !r) return r;
    }
    return {};
}

}  // namespace keinstr
