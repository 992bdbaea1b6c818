// The state of the type checker, shared by the frame and the per-opcode rules.
// Internal to the checker.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "keinstr/ir/function.hpp"
#include "keinstr/ir/instr.hpp"
#include "keinstr/ir/operand.hpp"
#include "keinstr/ir/symbols.hpp"
#include "keinstr/ir/terminator.hpp"
#include "keinstr/ir/type_table.hpp"
#include "keinstr/passes/type_shape.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/ir/error.hpp"

namespace keinstr {

// Expected-type labels of the typing findings, where a rule expects a kind of type.
namespace type_label {
inline constexpr std::string_view kIntOrIntVector = "iN or <N x iN>";
inline constexpr std::string_view kFpOrFpVector = "fp or <N x fp>";
inline constexpr std::string_view kI1OrI1Vector = "i1 or <N x i1>";
inline constexpr std::string_view kInt = "iN";
inline constexpr std::string_view kI1 = "i1";
inline constexpr std::string_view kFp = "fp";
inline constexpr std::string_view kPtr = "ptr";
inline constexpr std::string_view kAggregate = "aggregate type";
inline constexpr std::string_view kAnyScalar = "T";
inline constexpr std::string_view kIntAtLeast2 = "iN (N >= 2)";
inline constexpr std::string_view kBitcastable = "iN or fp or <K x iN> or <K x fp>";
inline constexpr std::string_view kFpOrInt = "fp or iN";
inline constexpr std::string_view kVoid = "void";
inline constexpr std::string_view kConstantInteger = "constant integer";
std::string int_vector(const VcSize& lanes);        // "<{} x iN>"
std::string fp_vector(const VcSize& lanes);         // "<{} x fp>"
std::string any_vector(const VcSize& lanes);        // "<{} x T>"
std::string int_narrower_than(std::uint32_t bits);  // "iN where N < {}"
std::string int_wider_than(std::uint32_t bits);     // "iN where N > {}"
std::string one_of(std::string_view kinds);         // "one of {}"
std::string type_of_size(std::uint32_t bits);       // "type of size {}"
}  // namespace type_label

using CheckResult = std::expected<void, Error>;

// The checker of one thread: what it learns about the registry's types (interned handles,
// shapes, struct elements) is kept from one function to the next, since the registry
// never forgets or changes a registered type; the register table is per function.
class TypeChecker {
public:
    explicit TypeChecker(const TypeRegistry& registry) : registry_(registry) {}

    const TypeRegistry& registry() const noexcept { return registry_; }

    // Forgets the registers of the previous function. `dense_names`: registers below this
    // number are kept in a flat table (the number of parameters and instructions, which
    // bounds a renumbered function's names); others in a hash map.
    void begin_function(std::size_t dense_names);

    // Enters a parameter or destination; false when the name is already entered.
    bool define(Name name, Typeref ty);

    // The type of an operand: a register's entry, an immediate's interned type, an
    // undef's own type. Fails with UndefinedName for a register that nothing defines.
    std::expected<Typeref, Error> operand_type(const Operand& op) {
        // Inline for the common case, a register of the flat table.
        if (const Name* n = op.as_reg(); n != nullptr && n->id < dense_.size() && dense_[n->id]) return *dense_[n->id];
        return operand_type_slow(op);
    }

    // Interning, cached for the checker's life (the registry only grows, so a handle stays
    // valid).
    Typeref intern_int(std::uint32_t bits);
    Typeref intern_float(FType f);
    Typeref intern_ptr();
    Typeref intern_lane(const PrimaryBasicType& lane);

    // Shape of a type, cached when the type is registered (an unregistered handle may be
    // registered later by another holder). The reference stays valid for the checker's
    // life.
    const TypeShape& shape(Typeref t) {
        // Inline for the common case, a type met before.
        if (const TypeShape* const* cached = shape_index_.find(t)) return **cached;
        return shape_slow(t);
    }
    // The element `index` of a struct, when it has one. The elements of a registered
    // struct are cached.
    std::optional<Typeref> struct_element(Typeref t, std::size_t index);

    std::string text(Typeref t) const;                 // the registry's text of a type
    std::string text(const Operand& op) const;         // an operand as printed
    std::string text(const KeInstr& instr) const;      // an instruction as printed
    std::string text(const KeTerminator& term) const;  // a terminator as printed

    // Findings.
    Error mismatch(const KeInstr& instr, std::string expected, std::string found) const {
        return Error{Error::TypeMismatch{text(instr), std::move(expected), std::move(found)}};
    }
    Error mismatch(const KeTerminator& term, std::string expected, std::string found) const {
        return Error{Error::TypeMismatch{text(term), std::move(expected), std::move(found)}};
    }
    Error out_of_bounds(const KeInstr& instr, std::uint64_t index, Typeref aggregate, std::size_t count) const {
        return Error{Error::IndexOutOfBounds{static_cast<std::size_t>(index), text(aggregate), largest_index(count),
                                             text(instr)}};
    }

    // The rules.
    CheckResult check_instruction(const KeInstr& instr);
    CheckResult check_terminator(const KeTerminator& term, const std::optional<Typeref>& return_type);

    // The rule of one record `r` of `instr`: one overload per record, declared from the
    // record list. The integer, floating-point, comparison and meta records' rules are
    // defined in arith_rules.cpp, the memory, aggregate, call, cast, phi and select
    // records' in memory_rules.cpp; a record whose rule nobody defines is an undefined
    // reference the linker names.
#define KE_DECLARE_RULE_(Rec, FIELDS) CheckResult check(const KeInstr& instr, const Rec& r);
    KE_INSTR_RECORDS(KE_DECLARE_RULE_)
#undef KE_DECLARE_RULE_

private:
    // The bodies of the rules, by file; a record the file's chain does not handle fails
    // to compile. Each is inlined into its record's `check` (no call in between).
    template <class T>
    CheckResult check_arith_and_meta(const KeInstr& instr, const T& r);
    template <class T>
    CheckResult check_memory_and_misc(const KeInstr& instr, const T& r);

    std::expected<Typeref, Error> operand_type_slow(const Operand& op);
    const TypeShape& shape_slow(Typeref t);

    const TypeRegistry& registry_;
    std::vector<std::optional<Typeref>> dense_;
    std::unordered_map<std::uint32_t, Typeref> sparse_;
    // Shapes of registered types met so far; the deque keeps handed-out references valid.
    TypeTable<const TypeShape*> shape_index_;
    std::deque<TypeShape> shapes_;
    // Interned integer types by width; the last one asked for is kept at hand.
    std::unordered_map<std::uint32_t, Typeref> ints_;
    std::optional<std::pair<std::uint32_t, Typeref>> last_int_;
    // Elements of registered structs met by struct_element.
    TypeTable<const std::vector<Typeref>*> element_index_;
    std::deque<std::vector<Typeref>> elements_;
    std::array<std::optional<Typeref>, kFTypeCount> floats_{};
    std::optional<Typeref> ptr_;
};

}  // namespace keinstr
