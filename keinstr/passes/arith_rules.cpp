// Typing rules of the integer and floating-point arithmetic, the comparisons and the
// meta instructions.
#include <type_traits>
#include <variant>

#include "keinstr/passes/checker.hpp"
#include "keinstr/utils/try.hpp"

namespace keinstr {

namespace {

template <class T, class... U>
inline constexpr bool is_one_of = (std::is_same_v<T, U> || ...);

template <class T>
inline constexpr bool is_int_binary =
    is_one_of<T, IAdd, ISub, IMul, IDiv, IRem, ISht, IAnd, IOr, IXor, IImplies, IEquiv>;
template <class T>
inline constexpr bool is_int_unary = is_one_of<T, INeg, INot>;
template <class T>
inline constexpr bool is_fp_binary = is_one_of<T, FAdd, FSub, FMul, FDiv, FRem>;

// Every operand, in field order, must have the destination's type.
template <class... Ops>
CheckResult operands_have_type(TypeChecker& c, const KeInstr& instr, Typeref d, const Ops&... ops) {
    CheckResult result;
    const auto one = [&](const Operand& op) {
        auto t = c.operand_type(op);
        if (!t) {
            result = std::unexpected(std::move(t.error()));
            return false;
        }
        if (!same_type(*t, d)) {
            result = std::unexpected(c.mismatch(instr, c.text(d), c.text(*t)));
            return false;
        }
        return true;
    };
    (one(ops) && ...);
    return result;
}

// icmp and fcmp: an i1 (or i1 vector) result over two operands of one type whose kind and
// shape match the result.
CheckResult check_compare(TypeChecker& c, const KeInstr& instr, Typeref d, const Operand& lhs, const Operand& rhs,
                          bool floating) {
    const TypeShape& ds = c.shape(d);
    if (!ds.is_i1() && !ds.lane_is_i1()) {
        return std::unexpected(c.mismatch(instr, std::string(type_label::kI1OrI1Vector), c.text(d)));
    }
    auto l = KE_TRY(c.operand_type(lhs));
    auto r = KE_TRY(c.operand_type(rhs));
    if (!same_type(r, l)) return std::unexpected(c.mismatch(instr, c.text(l), c.text(r)));

    const TypeShape& ls = c.shape(l);
    if (!ds.is_vector()) {
        const bool ok = floating ? ls.is_float() : ls.is_int();
        if (!ok) {
            return std::unexpected(
                c.mismatch(instr, std::string(floating ? type_label::kFp : type_label::kInt), c.text(l)));
        }
        return {};
    }
    const bool ok = (floating ? ls.lane_is_float() : ls.lane_is_int()) && ls.same_shape(ds);
    if (!ok) {
        return std::unexpected(
            c.mismatch(instr, floating ? type_label::fp_vector(ds.size) : type_label::int_vector(ds.size), c.text(l)));
    }
    return {};
}

}  // namespace

template <class T>
[[gnu::always_inline]] inline CheckResult TypeChecker::check_arith_and_meta(const KeInstr& instr, const T& r) {
    if constexpr (is_int_binary<T> || is_int_unary<T>) {
        const TypeShape& ds = shape(r.ty);
        if (!ds.is_int() && !ds.lane_is_int()) {
            return std::unexpected(mismatch(instr, std::string(type_label::kIntOrIntVector), text(r.ty)));
        }
        if constexpr (is_int_binary<T>) {
            return operands_have_type(*this, instr, r.ty, r.lhs, r.rhs);
        } else {
            return operands_have_type(*this, instr, r.ty, r.value);
        }
    } else if constexpr (is_fp_binary<T> || std::is_same_v<T, FNeg>) {
        const TypeShape& ds = shape(r.ty);
        if (!ds.is_float() && !ds.lane_is_float()) {
            return std::unexpected(mismatch(instr, std::string(type_label::kFpOrFpVector), text(r.ty)));
        }
        if constexpr (is_fp_binary<T>) {
            return operands_have_type(*this, instr, r.ty, r.lhs, r.rhs);
        } else {
            return operands_have_type(*this, instr, r.ty, r.value);
        }
    } else if constexpr (std::is_same_v<T, ICmp>) {
        return check_compare(*this, instr, r.ty, r.lhs, r.rhs, false);
    } else if constexpr (std::is_same_v<T, FCmp>) {
        return check_compare(*this, instr, r.ty, r.lhs, r.rhs, true);
    } else if constexpr (is_one_of<T, MetaAssert, MetaAssume>) {
        auto t = KE_TRY(operand_type(r.condition));
        if (!shape(t).is_i1()) {
            return std::unexpected(mismatch(instr, std::string(type_label::kI1), text(t)));
        }
        return {};
    } else if constexpr (std::is_same_v<T, MetaIsDef>) {
        // The operand is deliberately left untyped.
        if (!shape(r.ty).is_i1()) {
            return std::unexpected(mismatch(instr, std::string(type_label::kI1), text(r.ty)));
        }
        return {};
    } else if constexpr (std::is_same_v<T, MetaProb>) {
        if (!shape(r.ty).is_float()) {
            return std::unexpected(mismatch(instr, std::string(type_label::kFp), text(r.ty)));
        }
        auto t = KE_TRY(operand_type(r.operand.operand));
        const TypeShape& os = shape(t);
        if (!os.is_int() && !os.is_float()) {
            return std::unexpected(mismatch(instr, std::string(type_label::kFpOrInt), text(t)));
        }
        return {};
    } else if constexpr (std::is_same_v<T, MetaAnalysisStat>) {
        const TypeShape& ds = shape(r.ty);
        if (!ds.is_int() || ds.bits < 2) {
            return std::unexpected(mismatch(instr, std::string(type_label::kIntAtLeast2), text(r.ty)));
        }
        return {};
    } else {
        static_assert(std::is_same_v<T, MetaForall>, "record without a typing rule");
        return {};
    }
}

// clang-format off
#define KE_RULE_(Rec) \
    CheckResult TypeChecker::check(const KeInstr& instr, const Rec& r) { return check_arith_and_meta(instr, r); }
// clang-format on
KE_RULE_(IAdd)
KE_RULE_(ISub)
KE_RULE_(IMul)
KE_RULE_(IDiv)
KE_RULE_(IRem)
KE_RULE_(ICmp)
KE_RULE_(ISht)
KE_RULE_(INeg)
KE_RULE_(IAnd)
KE_RULE_(IOr)
KE_RULE_(IXor)
KE_RULE_(INot)
KE_RULE_(IImplies)
KE_RULE_(IEquiv)
KE_RULE_(FAdd)
KE_RULE_(FSub)
KE_RULE_(FMul)
KE_RULE_(FDiv)
KE_RULE_(FRem)
KE_RULE_(FCmp)
KE_RULE_(FNeg)
KE_RULE_(MetaAssert)
KE_RULE_(MetaAssume)
KE_RULE_(MetaIsDef)
KE_RULE_(MetaProb)
KE_RULE_(MetaAnalysisStat)
KE_RULE_(MetaForall)
#undef KE_RULE_

}  // namespace keinstr
