// The frame of the type checker: the name map, operand typing, the three passes and the
// terminator rules.
#include "keinstr/passes/type_check.hpp"

#include <fmt/format.h>

#include <type_traits>
#include <variant>

#include "keinstr/ir/printer.hpp"
#include "keinstr/ir/instruction_walk.hpp"
#include "keinstr/ir/record_fields.hpp"
#include "keinstr/passes/checker.hpp"
#include "keinstr/utils/try.hpp"

namespace keinstr {

namespace type_label {
std::string int_vector(const VcSize& lanes) { return fmt::format("<{} x iN>", lanes.to_string()); }
std::string fp_vector(const VcSize& lanes) { return fmt::format("<{} x fp>", lanes.to_string()); }
std::string any_vector(const VcSize& lanes) { return fmt::format("<{} x T>", lanes.to_string()); }
std::string int_narrower_than(std::uint32_t bits) { return fmt::format("iN where N < {}", bits); }
std::string int_wider_than(std::uint32_t bits) { return fmt::format("iN where N > {}", bits); }
std::string one_of(std::string_view kinds) { return fmt::format("one of {}", kinds); }
std::string type_of_size(std::uint32_t bits) { return fmt::format("type of size {}", bits); }
}  // namespace type_label

void TypeChecker::begin_function(std::size_t dense_names) {
    dense_.assign(dense_names, std::nullopt);
    sparse_.clear();
}

bool TypeChecker::define(Name name, Typeref ty) {
    if (name.id < dense_.size()) {
        auto& slot = dense_[name.id];
        if (slot) return false;
        slot = ty;
        return true;
    }
    return sparse_.try_emplace(name.id, ty).second;
}

std::expected<Typeref, Error> TypeChecker::operand_type_slow(const Operand& op) {
    if (const Name* n = op.as_reg()) {
        if (n->id < dense_.size()) {
            if (const auto& slot = dense_[n->id]) return *slot;
            return std::unexpected(Error{Error::UndefinedName{*n}});
        }
        const auto it = sparse_.find(n->id);
        if (it == sparse_.end()) return std::unexpected(Error{Error::UndefinedName{*n}});
        return it->second;
    }
    if (const Typeref* t = op.as_undef()) return *t;
    const AnyConst& c = *op.as_imm();
    if (const auto* i = std::get_if<IConst>(&c)) return intern_int(i->ty.num_bits);
    if (const auto* f = std::get_if<FConst>(&c)) return intern_float(f->ty);
    return intern_ptr();
}

Typeref TypeChecker::intern_int(std::uint32_t bits) {
    if (last_int_ && last_int_->first == bits) return last_int_->second;
    const auto it = ints_.find(bits);
    Typeref t;
    if (it != ints_.end()) {
        t = it->second;
    } else {
        t = registry_.search_or_insert(int_type(bits));
        ints_.emplace(bits, t);
    }
    last_int_.emplace(bits, t);
    return t;
}

Typeref TypeChecker::intern_float(FType f) {
    auto& slot = floats_[static_cast<std::size_t>(f) % kFTypeCount];
    if (!slot) slot = registry_.search_or_insert(float_type(f));
    return *slot;
}

Typeref TypeChecker::intern_ptr() {
    if (!ptr_) ptr_ = registry_.search_or_insert(ptr_type());
    return *ptr_;
}

Typeref TypeChecker::intern_lane(const PrimaryBasicType& lane) {
    if (const auto* i = std::get_if<IType>(&lane)) return intern_int(i->num_bits);
    if (const auto* f = std::get_if<FType>(&lane)) return intern_float(*f);
    if (std::holds_alternative<PtrType>(lane)) return intern_ptr();
    return registry_.search_or_insert(lane_as_type(lane));
}

const TypeShape& TypeChecker::shape_slow(Typeref t) {
    TypeShape s = describe_type(registry_, t);
    if (!s.is_known()) {
        // Not cached: the handle may be registered later by another holder.
        static const TypeShape unknown{};
        return unknown;
    }
    const TypeShape& kept = shapes_.emplace_back(std::move(s));
    shape_index_.try_emplace(t, &kept);
    return kept;
}

std::optional<Typeref> TypeChecker::struct_element(Typeref t, std::size_t index) {
    const std::vector<Typeref>* elements = nullptr;
    if (const auto* cached = element_index_.find(t)) {
        elements = *cached;
    } else {
        auto found = struct_elements(registry_, t);
        // Not cached unless a registered struct: the handle may be registered later.
        if (!found) return std::nullopt;
        elements = &elements_.emplace_back(std::move(*found));
        element_index_.try_emplace(t, elements);
    }
    if (index >= elements->size()) return std::nullopt;
    return (*elements)[index];
}

std::string TypeChecker::text(Typeref t) const { return registry_.fmt(t).to_string(); }
std::string TypeChecker::text(const Operand& op) const { return op.fmt_with(&registry_, nullptr); }
std::string TypeChecker::text(const KeInstr& instr) const { return instr.fmt(registry_, nullptr).to_string(); }
std::string TypeChecker::text(const KeTerminator& term) const { return term.fmt(&registry_, nullptr).to_string(); }

CheckResult TypeChecker::check_instruction(const KeInstr& instr) {
    return std::visit([&](const auto& r) -> CheckResult { return check(instr, r); }, instr.variant());
}

CheckResult TypeChecker::check_terminator(const KeTerminator& term, const std::optional<Typeref>& return_type) {
    if (const auto* b = std::get_if<Branch>(&term)) {
        auto t = KE_TRY(operand_type(b->condition));
        if (!shape(t).is_i1()) return std::unexpected(mismatch(term, std::string(type_label::kI1), text(t)));
        return {};
    }
    if (const auto* r = std::get_if<Ret>(&term)) {
        if (r->value) {
            auto t = KE_TRY(operand_type(*r->value));
            if (!return_type) return std::unexpected(mismatch(term, std::string(type_label::kVoid), text(t)));
            if (!same_type(t, *return_type)) return std::unexpected(mismatch(term, text(*return_type), text(t)));
            return {};
        }
        if (return_type) return std::unexpected(mismatch(term, text(*return_type), std::string(type_label::kVoid)));
        return {};
    }
    return {};  // jump and trap
}

namespace {

// Enters the destination register of `instr` (if it has one) with its type, in one look
// at the record.
CheckResult define_destination(TypeChecker& checker, const KeInstr& instr) {
    return std::visit(
        [&](const auto& rec) -> CheckResult {
            const std::optional<Name> dest = record_fields::destination(rec);
            if (!dest) return {};
            const std::optional<Typeref> ty = record_fields::destination_type(rec);
            if (!ty) {
                // A result without a type: no well-formed record has one.
                return std::unexpected(
                    checker.mismatch(instr, std::string(type_label::kAnyScalar), std::string(type_label::kVoid)));
            }
            if (!checker.define(*dest, *ty)) return std::unexpected(Error{Error::SsaMultipleDefinitions{*dest}});
            return {};
        },
        instr.variant());
}

// One function through `checker`.
std::expected<void, Error> check_function(TypeChecker& checker, std::span<const std::pair<Name, Typeref>> params,
                                          const BlockMap& blocks, const std::optional<Typeref>& return_type) {
    std::size_t definitions = params.size();
    for (const auto& [label, block] : blocks) definitions += block.instructions.size();
    checker.begin_function(definitions);

    for (const auto& [name, ty] : params) {
        if (!checker.define(name, ty)) return std::unexpected(Error{Error::SsaMultipleDefinitions{name}});
    }

    // Destinations first, so an operand may name a register defined further on.
    // This pass is the first to touch the instructions.
    for (auto it = blocks.begin(); it != blocks.end(); ++it) {
        prefetch_next_block(blocks, it);
        for (const KeInstr& instr : it->second.instructions) {
            if (auto r = define_destination(checker, instr); !r) return r;
        }
    }

    for (const auto& [label, block] : blocks) {
        for (const KeInstr& instr : block.instructions) {
            if (auto r = checker.check_instruction(instr); !r) return r;
        }
    }

    for (const auto& [label, block] : blocks) {
        if (auto r = checker.check_terminator(block.terminator, return_type); !r) return r;
    }
    return {};
}

}  // namespace

std::expected<void, Error> type_check(const TypeRegistry& registry, std::span<const std::pair<Name, Typeref>> params,
                                      const BlockMap& blocks, const std::optional<Typeref>& return_type) {
    TypeChecker checker(registry);
    return check_function(checker, params, blocks, return_type);
}

std::expected<void, Error> type_check(const Function& function, const TypeRegistry& registry) {
    return type_check(registry, function.params, function.body, function.return_type);
}

TypeCheckSession::TypeCheckSession(const TypeRegistry& registry) : checker_(std::make_unique<TypeChecker>(registry)) {}

TypeCheckSession::~TypeCheckSession() = default;

std::expected<void, Error> TypeCheckSession::check(const Function& function) {
    return check_function(*checker_, function.params, function.body, function.return_type);
}

}  // namespace keinstr
