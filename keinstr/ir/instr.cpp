#include "keinstr/ir/instr.hpp"

namespace keinstr {

namespace {

template <class T>
inline constexpr bool is_optional_v = false;
template <class T>
inline constexpr bool is_optional_v<std::optional<T>> = true;

// Fills an OperandRange from a record's fields: single operands first (in
// declared order), then the one list-shaped tail. No record declares a
// single operand after its list.
template <class Op>
struct OperandCollector {
    OperandRange<Op>& range;

    template <class T>
    void operator()(std::string_view, T& field) const {
        using U = std::remove_const_t<T>;
        if constexpr (std::is_same_v<U, Operand>) {
            range.push(field);
        } else if constexpr (std::is_same_v<U, MetaProbOperand>) {
            range.push(field.operand);
        } else if constexpr (std::is_same_v<U, OperandList>) {
            range.set_slice(std::span<Op>(field.data(), field.size()));
        } else if constexpr (std::is_same_v<U, PhiValues>) {
            using Pair = std::conditional_t<std::is_const_v<T>, const PhiValue, PhiValue>;
            range.set_pairs(std::span<Pair>(field.data(), field.size()));
        }
    }
};

template <class Op, class Rec>
OperandRange<Op> collect_operands(Rec& rec) {
    OperandRange<Op> range;
    std::remove_const_t<Rec>::visit_fields(rec, OperandCollector<Op>{range});
    return range;
}

// The value of an optional-or-plain field.
template <class T>
auto field_value(const T& field) {
    if constexpr (is_optional_v<T>) {
        return field;
    } else {
        return std::optional<T>(field);
    }
}

// Applies f to every type field in `referenced_types` order: `ty`, then `in_ty`.
template <class Rec, class F>
void for_each_type_field(Rec& rec, F&& f) {
    if constexpr (requires { rec.ty; }) {
        if constexpr (is_optional_v<std::remove_cvref_t<decltype(rec.ty)>>) {
            if (rec.ty) f(*rec.ty);
        } else {
            f(rec.ty);
        }
    }
    if constexpr (requires { rec.in_ty; }) f(rec.in_ty);
}

}  // namespace

OperandRange<const Operand> KeInstr::operands() const {
    return std::visit([](const auto& rec) { return collect_operands<const Operand>(rec); }, variant());
}

OperandRange<Operand> KeInstr::operands_mut() {
    return std::visit([](auto& rec) { return collect_operands<Operand>(rec); }, variant());
}

std::optional<Name> KeInstr::destination() const {
    return std::visit(
        [](const auto& rec) -> std::optional<Name> {
            if constexpr (requires { rec.dest; }) {
                return field_value(rec.dest);
            } else {
                return std::nullopt;
            }
        },
        variant());
}

std::optional<Typeref> KeInstr::destination_type() const {
    return std::visit(
        [](const auto& rec) -> std::optional<Typeref> {
            if constexpr (requires { rec.ty; }) {
                return field_value(rec.ty);
            } else {
                return std::nullopt;
            }
        },
        variant());
}

TypeList KeInstr::referenced_types() const {
    TypeList types;
    std::visit([&](const auto& rec) { for_each_type_field(rec, [&](const Typeref& t) { types.push(t); }); }, variant());
    return types;
}

void KeInstr::remap_types(const TypeMap& map) {
    std::visit([&](auto& rec) { for_each_type_field(rec, [&](Typeref& t) { remap_typeref(t, map); }); }, variant());
}

std::string KeInstr::debug() const {
    return std::visit(
        [](const auto& rec) {
            using Rec = std::remove_cvref_t<decltype(rec)>;
            return std::string(Rec::record_name) + "(" + record_debug(rec) + ")";
        },
        variant());
}

std::string MetaProbOperand::debug() const { return std::string(debug_name(variant)) + "(" + operand.debug() + ")"; }

void write_debug_value(std::string& out, const Name& v) { out += v.debug(); }
void write_debug_value(std::string& out, const Label& v) { out += v.debug(); }
void write_debug_value(std::string& out, const Typeref& v) { out += v.debug(); }
void write_debug_value(std::string& out, const Operand& v) { out += v.debug(); }
void write_debug_value(std::string& out, const MetaProbOperand& v) { out += v.debug(); }
void write_debug_value(std::string& out, const AnalysisStatistic& v) { out += v.debug(); }
void write_debug_value(std::string& out, const CallingConvention& v) { out += v.debug_string(); }
void write_debug_value(std::string& out, std::uint32_t v) { out += std::to_string(v); }
void write_debug_value(std::string& out, bool v) { out += v ? "true" : "false"; }

}  // namespace keinstr
