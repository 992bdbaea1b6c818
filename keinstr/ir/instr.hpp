// The 37 instruction records, the instruction enumeration `KeInstr`, and the
// uniform accessors every pass uses (operands, destination, types, remap).
//
// Each record lists its fields once (an X-macro of (type, member)); from that
// list come the members, a field visitor (`visit_fields`) and the derived
// debug form. The accessors are written once over the visitor and over the
// common member names `dest` and `ty`, never per record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "keinstr/ir/statistic.hpp"
#include "keinstr/ir/calling_convention.hpp"
#include "keinstr/ir/enums.hpp"
#include "keinstr/ir/operand.hpp"
#include "keinstr/ir/symbols.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/types/types.hpp"

namespace keinstr {

using OperandList = std::vector<Operand>;
using PhiValue = std::pair<Operand, Label>;
using PhiValues = std::vector<PhiValue>;
using IndexList = std::vector<std::uint32_t>;
using OptAlignment = std::optional<std::uint32_t>;
using OptOrdering = std::optional<MemoryOrdering>;
using OptName = std::optional<Name>;
using OptTyperef = std::optional<Typeref>;
using OptCallingConvention = std::optional<CallingConvention>;

// The operand of "!prob": Probability (0), ExpectedValue (1) or Variance (2),
// each holding one operand. `variant` selects which.
struct MetaProbOperand {
    MetaProbVariant variant = MetaProbVariant::Probability;
    Operand operand;

    bool operator==(const MetaProbOperand&) const = default;
    // Probability(Reg(%1))
    std::string debug() const;
};

namespace instr_detail {
// Field names in the debug form: a trailing '_' (used to avoid C++ keywords,
// as in `volatile_`) is not part of the name.
constexpr std::string_view field_name(std::string_view member) {
    if (!member.empty() && member.back() == '_') member.remove_suffix(1);
    return member;
}
}  // namespace instr_detail

// ---- field lists, shared by records of one shape ----------------------------

// clang-format off
#define KE_FIELDS_INT_POLICY(F) \
    F(Name, dest) F(Typeref, ty) F(Operand, lhs) F(Operand, rhs) F(OverflowSignednessPolicy, variant)
// clang-format on
// clang-format off
#define KE_FIELDS_INT_SIGNEDNESS(F) \
    F(Name, dest) F(Typeref, ty) F(Operand, lhs) F(Operand, rhs) F(IntegerSignedness, signedness)
// clang-format on
// clang-format off
#define KE_FIELDS_ICMP(F) \
    F(Name, dest) F(Typeref, ty) F(Operand, lhs) F(Operand, rhs) F(ICmpVariant, variant)
// clang-format on
// clang-format off
#define KE_FIELDS_ISHT(F) \
    F(Name, dest) F(Typeref, ty) F(Operand, lhs) F(Operand, rhs) F(IShiftVariant, variant)
// clang-format on
// clang-format off
#define KE_FIELDS_FCMP(F) \
    F(Name, dest) F(Typeref, ty) F(Operand, lhs) F(Operand, rhs) F(FCmpVariant, variant)
// clang-format on
#define KE_FIELDS_BINARY(F) F(Name, dest) F(Typeref, ty) F(Operand, lhs) F(Operand, rhs)
#define KE_FIELDS_UNARY(F) F(Name, dest) F(Typeref, ty) F(Operand, value)
// clang-format off
#define KE_FIELDS_LOAD(F)                                                             \
    F(Name, dest) F(Typeref, ty) F(Operand, addr) F(OptAlignment, alignement)         \
        F(OptOrdering, ordering) F(bool, volatile_)
// clang-format on
// clang-format off
#define KE_FIELDS_STORE(F) \
    F(Operand, addr) F(Operand, value) F(OptAlignment, alignement) F(OptOrdering, ordering) F(bool, volatile_)
// clang-format on
#define KE_FIELDS_ALLOCA(F) F(Name, dest) F(Typeref, ty) F(Operand, count) F(OptAlignment, alignement)
// clang-format off
#define KE_FIELDS_GEP(F) \
    F(Name, dest) F(Typeref, ty) F(Typeref, in_ty) F(Operand, base) F(OperandList, indices)
// clang-format on
// clang-format off
#define KE_FIELDS_INVOKE(F) \
    F(Operand, function) F(OperandList, args) F(OptName, dest) F(OptTyperef, ty) F(OptCallingConvention, cconv)
// clang-format on
#define KE_FIELDS_PHI(F) F(Name, dest) F(Typeref, ty) F(PhiValues, values)
// clang-format off
#define KE_FIELDS_SELECT(F) \
    F(Name, dest) F(Operand, condition) F(Operand, true_value) F(Operand, false_value) F(Typeref, ty)
// clang-format on
#define KE_FIELDS_CAST(F) F(Name, dest) F(Typeref, ty) F(Operand, value) F(CastVariant, variant)
// clang-format off
#define KE_FIELDS_INSERT_VALUE(F) \
    F(Name, dest) F(Typeref, ty) F(Operand, aggregate) F(Operand, value) F(IndexList, indices)
// clang-format on
#define KE_FIELDS_EXTRACT_VALUE(F) F(Name, dest) F(Typeref, ty) F(Operand, aggregate) F(IndexList, indices)
#define KE_FIELDS_META_CONDITION(F) F(Operand, condition)
#define KE_FIELDS_META_ISDEF(F) F(Name, dest) F(Typeref, ty) F(Operand, operand)
#define KE_FIELDS_META_PROB(F) F(Name, dest) F(Typeref, ty) F(MetaProbOperand, operand)
#define KE_FIELDS_META_ANALYSIS(F) F(Name, dest) F(Typeref, ty) F(AnalysisStatistic, statistic)
#define KE_FIELDS_META_FORALL(F) F(Name, dest) F(Typeref, ty)

// Record name, field list; in opcode order.
// clang-format off
#define KE_INSTR_RECORDS(R)                        \
    R(IAdd, KE_FIELDS_INT_POLICY)                  \
    R(ISub, KE_FIELDS_INT_POLICY)                  \
    R(IMul, KE_FIELDS_INT_POLICY)                  \
    R(IDiv, KE_FIELDS_INT_SIGNEDNESS)              \
    R(IRem, KE_FIELDS_INT_SIGNEDNESS)              \
    R(ICmp, KE_FIELDS_ICMP)                        \
    R(ISht, KE_FIELDS_ISHT)                        \
    R(INeg, KE_FIELDS_UNARY)                       \
    R(IAnd, KE_FIELDS_BINARY)                      \
    R(IOr, KE_FIELDS_BINARY)                       \
    R(IXor, KE_FIELDS_BINARY)                      \
    R(INot, KE_FIELDS_UNARY)                       \
    R(IImplies, KE_FIELDS_BINARY)                  \
    R(IEquiv, KE_FIELDS_BINARY)                    \
    R(FAdd, KE_FIELDS_BINARY)                      \
    R(FSub, KE_FIELDS_BINARY)                      \
    R(FMul, KE_FIELDS_BINARY)                      \
    R(FDiv, KE_FIELDS_BINARY)                      \
    R(FRem, KE_FIELDS_BINARY)                      \
    R(FCmp, KE_FIELDS_FCMP)                        \
    R(FNeg, KE_FIELDS_UNARY)                       \
    R(MLoad, KE_FIELDS_LOAD)                       \
    R(MStore, KE_FIELDS_STORE)                     \
    R(MAlloca, KE_FIELDS_ALLOCA)                   \
    R(MGetElementPtr, KE_FIELDS_GEP)               \
    R(Invoke, KE_FIELDS_INVOKE)                    \
    R(Phi, KE_FIELDS_PHI)                          \
    R(Select, KE_FIELDS_SELECT)                    \
    R(Cast, KE_FIELDS_CAST)                        \
    R(InsertValue, KE_FIELDS_INSERT_VALUE)         \
    R(ExtractValue, KE_FIELDS_EXTRACT_VALUE)       \
    R(MetaAssert, KE_FIELDS_META_CONDITION)        \
    R(MetaAssume, KE_FIELDS_META_CONDITION)        \
    R(MetaIsDef, KE_FIELDS_META_ISDEF)             \
    R(MetaProb, KE_FIELDS_META_PROB)               \
    R(MetaAnalysisStat, KE_FIELDS_META_ANALYSIS)   \
    R(MetaForall, KE_FIELDS_META_FORALL)
// clang-format on

#define KE_FIELD_DECL_(type, member) type member{};
#define KE_FIELD_VISIT_(type, member) v(instr_detail::field_name(#member), self.member);
#define KE_DEFINE_INSTR_RECORD_(Rec, FIELDS)                                \
    struct Rec {                                                            \
        FIELDS(KE_FIELD_DECL_)                                              \
        static constexpr KeInstrOp op = KeInstrOp::Rec;                     \
        static constexpr std::string_view record_name = #Rec;               \
        /* Calls v(field name, field) for every field in declared order. */ \
        template <class Self, class V>                                      \
        static void visit_fields(Self& self, V&& v) {                       \
            FIELDS(KE_FIELD_VISIT_)                                         \
        }                                                                   \
        bool operator==(const Rec&) const = default;                        \
    };
KE_INSTR_RECORDS(KE_DEFINE_INSTR_RECORD_)
#undef KE_DEFINE_INSTR_RECORD_
#undef KE_FIELD_VISIT_
#undef KE_FIELD_DECL_

namespace instr_detail {
template <class V>
struct drop_first;
template <class First, class... Rest>
struct drop_first<std::variant<First, Rest...>> {
    using type = std::variant<Rest...>;
};
}  // namespace instr_detail

// Alternatives in opcode order: the variant index is the opcode and the borsh
// tag. (The leading monostate only lets the macro put a comma before every
// record; it is dropped.)
#define KE_INSTR_ALTERNATIVE_(Rec, FIELDS) , Rec
using KeInstrVariant =
    instr_detail::drop_first<std::variant<std::monostate KE_INSTR_RECORDS(KE_INSTR_ALTERNATIVE_)>>::type;
#undef KE_INSTR_ALTERNATIVE_

namespace instr_detail {
template <std::size_t... I>
constexpr bool records_in_opcode_order(std::index_sequence<I...>) {
    return ((std::variant_alternative_t<I, KeInstrVariant>::op == static_cast<KeInstrOp>(I)) && ...);
}
static_assert(std::variant_size_v<KeInstrVariant> == enum_count<KeInstrOp>);
static_assert(records_in_opcode_order(std::make_index_sequence<enum_count<KeInstrOp>>{}));

// The destination column of the opcode table, as the record's fields say it.
template <class Rec>
constexpr DestinationForm record_destination_form() {
    if constexpr (!requires { &Rec::dest; }) {
        return DestinationForm::None;
    } else if constexpr (std::is_same_v<decltype(Rec::dest), OptName>) {
        return DestinationForm::Optional;
    } else {
        return DestinationForm::Required;
    }
}
template <std::size_t... I>
constexpr bool destinations_match_records(std::index_sequence<I...>) {
    return ((record_destination_form<std::variant_alternative_t<I, KeInstrVariant>>() ==
             destination_form(static_cast<KeInstrOp>(I))) &&
            ...);
}
static_assert(destinations_match_records(std::make_index_sequence<enum_count<KeInstrOp>>{}));
}  // namespace instr_detail

// A forward range over an instruction's operands without allocation: up to
// three leading single operands followed by one tail (a slice of operands or
// the operands of a slice of phi pairs).
template <class Op>
class OperandRange {
    static constexpr bool kConst = std::is_const_v<Op>;
    using Pair = std::conditional_t<kConst, const PhiValue, PhiValue>;

public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Operand;
        using difference_type = std::ptrdiff_t;
        using pointer = Op*;
        using reference = Op&;

        iterator() = default;
        iterator(const OperandRange* range, std::size_t pos) : range_(range), pos_(pos) {}
        reference operator*() const { return (*range_)[pos_]; }
        pointer operator->() const { return &(*range_)[pos_]; }
        iterator& operator++() {
            ++pos_;
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            ++pos_;
            return old;
        }
        bool operator==(const iterator& other) const { return pos_ == other.pos_; }

    private:
        const OperandRange* range_ = nullptr;
        std::size_t pos_ = 0;
    };

    std::size_t size() const { return head_count_ + slice_.size() + pairs_.size(); }
    bool empty() const { return size() == 0; }
    Op& operator[](std::size_t i) const {
        if (i < head_count_) return *head_[i];
        i -= head_count_;
        if (i < slice_.size()) return slice_[i];
        return pairs_[i - slice_.size()].first;
    }
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, size()); }

    // Building (used by the accessors).
    void push(Op& op) { head_[head_count_++] = &op; }
    void set_slice(std::span<Op> s) { slice_ = s; }
    void set_pairs(std::span<Pair> p) { pairs_ = p; }

private:
    std::array<Op*, 3> head_{};
    std::uint8_t head_count_ = 0;
    std::span<Op> slice_;
    std::span<Pair> pairs_;
};

// Up to two type handles (the instruction's own type fields).
class TypeList {
public:
    const Typeref* begin() const { return items_.data(); }
    const Typeref* end() const { return items_.data() + count_; }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const Typeref& operator[](std::size_t i) const { return items_[i]; }
    void push(Typeref t) { items_[count_++] = t; }

private:
    std::array<Typeref, 2> items_{};
    std::uint8_t count_ = 0;
};

struct KeInstr;

// Display adapter of an instruction (the printer's text); borrows the
// instruction, the registry that shows every type, and optionally the module
// that names function pointers.
class InstrDisplay {
public:
    InstrDisplay(const KeInstr& instr, const TypeRegistry& registry, const Module* module) noexcept
        : instr_(&instr), registry_(&registry), module_(module) {}
    void write(std::string& out) const;
    std::string to_string() const {
        std::string s;
        write(s);
        return s;
    }

private:
    const KeInstr* instr_;
    const TypeRegistry* registry_;
    const Module* module_;
};

// An instruction: one of the 37 records. Variant index = opcode.
struct KeInstr : KeInstrVariant {
    using KeInstrVariant::KeInstrVariant;
    using KeInstrVariant::operator=;

    const KeInstrVariant& variant() const noexcept { return *this; }
    KeInstrVariant& variant() noexcept { return *this; }

    KeInstrOp op() const noexcept { return static_cast<KeInstrOp>(index()); }
    bool is_meta() const noexcept { return keinstr::is_meta(op()); }

    // The operands, in the record's declared order (phi: the pair operands;
    // getelementptr: base then indices; invoke: callee then arguments).
    OperandRange<const Operand> operands() const;
    OperandRange<Operand> operands_mut();
    // The register the instruction defines, if any.
    std::optional<Name> destination() const;
    // The type of that register; present exactly when `destination` is.
    std::optional<Typeref> destination_type() const;
    // The instruction's own type fields: `ty` (when present), then `in_ty`.
    // Types inside operands are not included.
    TypeList referenced_types() const;
    // Rewrites each of the fields `referenced_types` yields that is a key of
    // `map`; other fields stay.
    void remap_types(const TypeMap& map);

    // Derived debug form: "IAdd(IAdd { dest: %3, ty: Typeref(..), .. })".
    std::string debug() const;

    // The printer's text, e.g. "%3: i32 = iadd.wrap %1, %2".
    InstrDisplay fmt(const TypeRegistry& registry, const Module* module = nullptr) const noexcept {
        return InstrDisplay(*this, registry, module);
    }

    bool operator==(const KeInstr& other) const {
        return static_cast<const KeInstrVariant&>(*this) == static_cast<const KeInstrVariant&>(other);
    }
};

// Rewrites `t` through `map` when it is a key.
inline void remap_typeref(Typeref& t, const TypeMap& map) {
    auto it = map.find(t);
    if (it != map.end()) t = it->second;
}

// Debug text of one field value as the derived debug form shows it.
void write_debug_value(std::string& out, const Name& v);
void write_debug_value(std::string& out, const Label& v);
void write_debug_value(std::string& out, const Typeref& v);
void write_debug_value(std::string& out, const Operand& v);
void write_debug_value(std::string& out, const MetaProbOperand& v);
void write_debug_value(std::string& out, const AnalysisStatistic& v);
void write_debug_value(std::string& out, const CallingConvention& v);
void write_debug_value(std::string& out, std::uint32_t v);
void write_debug_value(std::string& out, bool v);
template <TableEnum E>
void write_debug_value(std::string& out, E v) {
    out += debug_name(v);
}
template <class A, class B>
void write_debug_value(std::string& out, const std::pair<A, B>& v);
template <class T>
void write_debug_value(std::string& out, const std::optional<T>& v) {
    if (!v) {
        out += "None";
        return;
    }
    out += "Some(";
    write_debug_value(out, *v);
    out += ")";
}
template <class T>
void write_debug_value(std::string& out, const std::vector<T>& v) {
    out += "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i != 0) out += ", ";
        write_debug_value(out, v[i]);
    }
    out += "]";
}
template <class A, class B>
void write_debug_value(std::string& out, const std::pair<A, B>& v) {
    out += "(";
    write_debug_value(out, v.first);
    out += ", ";
    write_debug_value(out, v.second);
    out += ")";
}

// Derived debug form of one record: "Rec { field: value, .. }".
template <class Rec>
std::string record_debug(const Rec& rec) {
    std::string out(Rec::record_name);
    out += " { ";
    bool first = true;
    Rec::visit_fields(rec, [&](std::string_view name, const auto& value) {
        if (!first) out += ", ";
        first = false;
        out += name;
        out += ": ";
        write_debug_value(out, value);
    });
    out += " }";
    return out;
}

}  // namespace keinstr

template <>
struct fmt::formatter<keinstr::InstrDisplay> : fmt::formatter<std::string_view> {
    auto format(const keinstr::InstrDisplay& d, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(d.to_string(), ctx);
    }
};
