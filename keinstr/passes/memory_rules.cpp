// Typing rules of the memory, aggregate, call, cast, phi and select instructions.
#include <limits>
#include <type_traits>
#include <variant>

#include "keinstr/passes/checker.hpp"
#include "keinstr/utils/try.hpp"

namespace keinstr {

namespace {

using Kind = TypeShape::Kind;

// Index walk shared by extractvalue and insertvalue: structs, arrays and fixed vectors,
// each index bounded by the element count. Yields the type reached.
std::expected<Typeref, Error> walk_aggregate(TypeChecker& c, const KeInstr& instr, Typeref start,
                                             const std::vector<std::uint32_t>& indices) {
    Typeref current = start;
    for (const std::uint32_t index : indices) {
        const TypeShape& s = c.shape(current);
        switch (s.kind) {
            case Kind::Struct: {
                if (index >= s.count) return std::unexpected(c.out_of_bounds(instr, index, current, s.count));
                auto element = c.struct_element(current, index);
                if (!element) return std::unexpected(c.out_of_bounds(instr, index, current, s.count));
                current = *element;
                break;
            }
            case Kind::Array:
                if (index >= s.count) return std::unexpected(c.out_of_bounds(instr, index, current, s.count));
                current = s.element;
                break;
            case Kind::Vector:
                if (s.size.kind == VcSize::Kind::Fixed) {
                    if (index >= s.size.lanes) {
                        return std::unexpected(c.out_of_bounds(instr, index, current, s.size.lanes));
                    }
                    current = c.intern_lane(s.lane);
                    break;
                }
                [[fallthrough]];
            default: return std::unexpected(c.mismatch(instr, std::string(type_label::kAggregate), c.text(current)));
        }
    }
    return current;
}

// The value of an integer literal when it lies in [0, 2^32).
std::optional<std::uint64_t> struct_index_literal(const Operand& op) {
    const AnyConst* c = op.as_imm();
    const auto* i = c != nullptr ? std::get_if<IConst>(c) : nullptr;
    if (i == nullptr) return std::nullopt;
    if (i->value < 0 || i->value > BigInt(std::numeric_limits<std::uint32_t>::max())) return std::nullopt;
    return static_cast<std::uint64_t>(i->value);
}

CheckResult check_getelementptr(TypeChecker& c, const KeInstr& instr, const MGetElementPtr& r) {
    const Typeref ptr = c.intern_ptr();
    if (!same_type(r.ty, ptr)) return std::unexpected(c.mismatch(instr, c.text(ptr), c.text(r.ty)));
    const Typeref base = KE_TRY(c.operand_type(r.base));
    if (!same_type(base, ptr)) return std::unexpected(c.mismatch(instr, c.text(ptr), c.text(base)));
    for (const Operand& index : r.indices) {
        const Typeref t = KE_TRY(c.operand_type(index));
        if (!c.shape(t).is_int())
            return std::unexpected(c.mismatch(instr, std::string(type_label::kInt), c.text(index)));
    }
    if (r.indices.size() < 2) return {};

    // The first index steps over the base pointer; the others walk `in_ty`.
    Typeref current = r.in_ty;
    for (std::size_t i = 1; i < r.indices.size(); ++i) {
        const Operand& index = r.indices[i];
        const TypeShape& s = c.shape(current);
        switch (s.kind) {
            case Kind::Struct: {
                const auto value = struct_index_literal(index);
                if (!value) {
                    return std::unexpected(c.mismatch(instr, std::string(type_label::kConstantInteger), c.text(index)));
                }
                auto element = *value < s.count ? c.struct_element(current, *value) : std::nullopt;
                if (!element) return std::unexpected(c.out_of_bounds(instr, *value, current, s.count));
                current = *element;
                break;
            }
            case Kind::Array: current = s.element; break;
            case Kind::Vector: current = c.intern_lane(s.lane); break;
            default: return std::unexpected(c.mismatch(instr, std::string(type_label::kAggregate), c.text(current)));
        }
    }
    return {};
}

// Names of the floating-point kinds whose byte size is below (`smaller`) or above the
// given kind's, in declared order.
std::string fp_kinds_by_size(FType than, bool smaller) {
    const std::uint32_t size = ftype_byte_size(than);
    std::string out;
    for (std::size_t k = 0; k < kFTypeCount; ++k) {
        const auto f = static_cast<FType>(k);
        const std::uint32_t s = ftype_byte_size(f);
        if (smaller ? s < size : s > size) {
            if (!out.empty()) out += ", ";
            out += ftype_text(f);
        }
    }
    return out;
}

std::uint32_t element_bit_width(const CastElement& e) { return e.is_int() ? e.bits : ftype_bits(e.fp); }

CheckResult check_cast(TypeChecker& c, const KeInstr& instr, const Cast& r) {
    const Typeref v = KE_TRY(c.operand_type(r.value));
    const TypeShape& vs = c.shape(v);
    const TypeShape& ds = c.shape(r.ty);
    if (!vs.same_shape(ds)) {
        return std::unexpected(c.mismatch(
            instr, ds.is_vector() ? type_label::any_vector(ds.size) : std::string(type_label::kAnyScalar), c.text(v)));
    }
    const CastElement ve = CastElement::of(vs);
    const CastElement de = CastElement::of(ds);

    enum class Rule { Int, Fp, ScalarPtr, IntOrFp };
    const auto holds = [&](Rule rule, const CastElement& e, const TypeShape& whole) {
        switch (rule) {
            case Rule::Int: return e.is_int();
            case Rule::Fp: return e.is_float();
            case Rule::ScalarPtr: return whole.is_ptr();
            case Rule::IntOrFp: return e.is_int() || e.is_float();
        }
        return false;
    };
    const auto label = [](Rule rule) -> std::string {
        switch (rule) {
            case Rule::Int: return std::string(type_label::kInt);
            case Rule::Fp: return std::string(type_label::kFp);
            case Rule::ScalarPtr: return std::string(type_label::kPtr);
            case Rule::IntOrFp: return std::string(type_label::kBitcastable);
        }
        return {};
    };

    Rule v_rule = Rule::Int;
    Rule d_rule = Rule::Int;
    switch (r.variant) {
        case CastVariant::Trunc:
        case CastVariant::ZExt:
        case CastVariant::SExt: break;
        case CastVariant::FpTrunc:
        case CastVariant::FpExt: v_rule = d_rule = Rule::Fp; break;
        case CastVariant::FpToUI:
        case CastVariant::FpToSI: v_rule = Rule::Fp; break;
        case CastVariant::UIToFp:
        case CastVariant::SIToFp: d_rule = Rule::Fp; break;
        case CastVariant::PtrToInt: v_rule = Rule::ScalarPtr; break;
        case CastVariant::IntToPtr: d_rule = Rule::ScalarPtr; break;
        case CastVariant::Bitcast: v_rule = d_rule = Rule::IntOrFp; break;
    }
    if (!holds(v_rule, ve, vs)) return std::unexpected(c.mismatch(instr, label(v_rule), c.text(v)));
    if (!holds(d_rule, de, ds)) return std::unexpected(c.mismatch(instr, label(d_rule), c.text(r.ty)));

    switch (r.variant) {
        case CastVariant::Trunc:
            if (!(ve.bits > de.bits)) {
                return std::unexpected(c.mismatch(instr, type_label::int_narrower_than(ve.bits), c.text(r.ty)));
            }
            break;
        case CastVariant::ZExt:
        case CastVariant::SExt:
            if (!(ve.bits < de.bits)) {
                return std::unexpected(c.mismatch(instr, type_label::int_wider_than(ve.bits), c.text(r.ty)));
            }
            break;
        case CastVariant::FpTrunc:
            if (!(ftype_byte_size(ve.fp) > ftype_byte_size(de.fp))) {
                return std::unexpected(
                    c.mismatch(instr, type_label::one_of(fp_kinds_by_size(ve.fp, true)), c.text(r.ty)));
            }
            break;
        case CastVariant::FpExt:
            if (!(ftype_byte_size(ve.fp) < ftype_byte_size(de.fp))) {
                return std::unexpected(
                    c.mismatch(instr, type_label::one_of(fp_kinds_by_size(ve.fp, false)), c.text(r.ty)));
            }
            break;
        case CastVariant::Bitcast:
            if (element_bit_width(ve) != element_bit_width(de)) {
                return std::unexpected(
                    c.mismatch(instr, type_label::type_of_size(element_bit_width(ve)), c.text(r.ty)));
            }
            break;
        default: break;
    }
    return {};
}

}  // namespace

template <class T>
[[gnu::always_inline]] inline CheckResult TypeChecker::check_memory_and_misc(const KeInstr& instr, const T& r) {
    if constexpr (std::is_same_v<T, MLoad> || std::is_same_v<T, MStore>) {
        // The stored value is deliberately left untyped.
        const Typeref addr = KE_TRY(operand_type(r.addr));
        if (!shape(addr).is_ptr()) {
            return std::unexpected(mismatch(instr, std::string(type_label::kPtr), text(addr)));
        }
        return {};
    } else if constexpr (std::is_same_v<T, MAlloca>) {
        const Typeref count = KE_TRY(operand_type(r.count));
        if (!shape(count).is_int()) {
            return std::unexpected(mismatch(instr, std::string(type_label::kInt), text(count)));
        }
        return {};
    } else if constexpr (std::is_same_v<T, MGetElementPtr>) {
        return check_getelementptr(*this, instr, r);
    } else if constexpr (std::is_same_v<T, Invoke>) {
        // Arguments, result type and calling convention are not typed.
        const Typeref callee = KE_TRY(operand_type(r.function));
        const Typeref ptr = intern_ptr();
        if (!same_type(callee, ptr)) return std::unexpected(mismatch(instr, text(ptr), text(callee)));
        return {};
    } else if constexpr (std::is_same_v<T, Phi>) {
        for (const auto& [value, label] : r.values) {
            const Typeref t = KE_TRY(operand_type(value));
            if (!same_type(t, r.ty)) return std::unexpected(mismatch(instr, text(r.ty), text(t)));
        }
        return {};
    } else if constexpr (std::is_same_v<T, Select>) {
        const Typeref cond = KE_TRY(operand_type(r.condition));
        if (!shape(cond).is_i1()) {
            return std::unexpected(mismatch(instr, std::string(type_label::kI1), text(cond)));
        }
        const Typeref t = KE_TRY(operand_type(r.true_value));
        if (!same_type(t, r.ty)) return std::unexpected(mismatch(instr, text(r.ty), text(t)));
        const Typeref f = KE_TRY(operand_type(r.false_value));
        if (!same_type(f, r.ty)) return std::unexpected(mismatch(instr, text(r.ty), text(f)));
        return {};
    } else if constexpr (std::is_same_v<T, Cast>) {
        return check_cast(*this, instr, r);
    } else if constexpr (std::is_same_v<T, ExtractValue>) {
        const Typeref a = KE_TRY(operand_type(r.aggregate));
        auto reached = KE_TRY(walk_aggregate(*this, instr, a, r.indices));
        if (!same_type(reached, r.ty)) return std::unexpected(mismatch(instr, text(reached), text(r.ty)));
        return {};
    } else {
        static_assert(std::is_same_v<T, InsertValue>, "record without a typing rule");
        const Typeref a = KE_TRY(operand_type(r.aggregate));
        const Typeref v = KE_TRY(operand_type(r.value));
        if (!same_type(a, r.ty)) return std::unexpected(mismatch(instr, text(r.ty), text(a)));
        auto reached = KE_TRY(walk_aggregate(*this, instr, a, r.indices));
        if (!same_type(v, reached)) return std::unexpected(mismatch(instr, text(reached), text(v)));
        return {};
    }
}

// clang-format off
#define KE_RULE_(Rec) \
    CheckResult TypeChecker::check(const KeInstr& instr, const Rec& r) { return check_memory_and_misc(instr, r); }
// clang-format on
KE_RULE_(MLoad)
KE_RULE_(MStore)
KE_RULE_(MAlloca)
KE_RULE_(MGetElementPtr)
KE_RULE_(Invoke)
KE_RULE_(Phi)
KE_RULE_(Select)
KE_RULE_(Cast)
KE_RULE_(ExtractValue)
KE_RULE_(InsertValue)
#undef KE_RULE_

}  // namespace keinstr
