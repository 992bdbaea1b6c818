#include "keinstr/text/validate.hpp"

#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "keinstr/text/keywords.hpp"

namespace keinstr {

namespace {

using Op = KeInstrOp;

// Opcodes that need exactly one variant word (two for "!analysis.term").
constexpr bool takes_variant(Op op) {
    switch (variant_form(op)) {
        case VariantForm::Word:
        case VariantForm::Hidden:
        case VariantForm::Own: return true;
        case VariantForm::None:
        case VariantForm::Ordering: return false;
    }
    return false;
}

// Opcodes that take at most one variant word (a memory ordering).
constexpr bool takes_ordering(Op op) { return variant_form(op) == VariantForm::Ordering; }

// What the "unknown {}: {} (expected one of: {})" message calls each enumeration.
template <class E>
constexpr std::string_view variant_kind_text();
template <>
constexpr std::string_view variant_kind_text<OverflowSignednessPolicy>() {
    return "overflow signedness policy";
}
template <>
constexpr std::string_view variant_kind_text<IntegerSignedness>() {
    return "signedness variant";
}
template <>
constexpr std::string_view variant_kind_text<ICmpVariant>() {
    return "integer comparison variant";
}
template <>
constexpr std::string_view variant_kind_text<IShiftVariant>() {
    return "integer isht variant";
}
template <>
constexpr std::string_view variant_kind_text<FCmpVariant>() {
    return "floating-point comparison variant";
}
template <>
constexpr std::string_view variant_kind_text<MemoryOrdering>() {
    return "memory ordering variant";
}
template <>
constexpr std::string_view variant_kind_text<CastVariant>() {
    return "cast variant";
}
template <>
constexpr std::string_view variant_kind_text<MetaProbVariant>() {
    return "meta-probability variant";
}
template <>
constexpr std::string_view variant_kind_text<AnalysisStatisticOp>() {
    return "analysis statistic op";
}

class Validator {
public:
    Validator(InstrPieces& pieces, TokenRange span, Parser& p, std::vector<KeInstr>& out)
        : pc_(pieces), span_(span), p_(p), out_(out) {}

    void run() {
        const Op op = pc_.op;
        const std::string_view name = opname(op);
        const std::size_t variant_count = pc_.variants.size();

        // 1. The destination is numbered before anything is checked, after the
        //    registers of the operands.
        if (pc_.destination) {
            dest_ = p_.state().get_register(pc_.destination->name);
            ty_ = pc_.destination->ty;
        }

        // 2. Additional type.
        if (op == Op::MGetElementPtr && !pc_.additional_type)
            return reject(fmt::format("syntax error for {} instruction: missing additional type", name));
        if (op != Op::MGetElementPtr && pc_.additional_type)
            return reject(fmt::format("syntax error for {} instruction: unexpected additional type", name));

        // 3. Pair form on another opcode.
        if (pc_.phi_form && op != Op::Phi)
            return reject(fmt::format(
                "syntax error for {} instruction: only 'phi' instructions can use the [operand, label] syntax, use "
                "operands separated by commas instead",
                name));

        // 4. The phi form, then the destination.
        if (operand_shape(op) == OperandShape::PhiPairs && !pc_.phi_form)
            return reject(
                "syntax error for phi instruction: expected [operand, label] pairs, got operands separated by "
                "commas instead");
        switch (destination_form(op)) {
            case DestinationForm::None:
                if (pc_.destination)
                    return reject(fmt::format(
                        "syntax error for {} instruction: destination register specified where none expected", name));
                break;
            case DestinationForm::Optional: break;
            case DestinationForm::Required:
                if (!pc_.destination)
                    return reject(fmt::format("syntax error for {} instruction: missing destination register", name));
                break;
        }

        // 5. Label list: only "!analysis.term.reach".
        if (!pc_.labels.empty()) {
            const bool reach = op == Op::MetaAnalysisStat && variant_count >= 2 && pc_.variants[0] == "term" &&
                               pc_.variants[1] == "reach";
            if (!reach) return reject(fmt::format("syntax error for {} instruction: unexpected label list", name));
        }

        // 6. At most one memory ordering.
        if (takes_ordering(op) && variant_count >= 2)
            return reject(
                fmt::format("arity mismatch for {} instruction variant: expected at most 1 variant operand, got {}",
                            name, variant_count));

        // 7. Variant presence.
        if (takes_variant(op) && variant_count == 0)
            return reject(
                fmt::format("syntax error for {} instruction: expected {}, got {}", name, "variant", "no variant"));
        if (!takes_variant(op) && !takes_ordering(op) && variant_count != 0)
            return reject(
                fmt::format("syntax error for {} instruction: expected {}, got {}", name, "no variant", "variant"));

        // 8. Variant count.
        if (takes_variant(op)) {
            std::size_t expected = 1;
            if (op == Op::MetaAnalysisStat &&
                parse_analysis_statistic_op(pc_.variants[0]) == AnalysisStatisticOp::TerminationBehavior)
                expected = 2;
            if (variant_count != expected)
                return reject(
                    fmt::format("arity mismatch for {} instruction variant: expected {} variant operands, got {}", name,
                                expected, variant_count));
        }

        // 9. Operand count of the fixed-arity opcodes.
        if (const int arity = fixed_arity(op); arity >= 0 && pc_.operands.size() != static_cast<std::size_t>(arity))
            return reject(fmt::format("arity mismatch for {} instruction: expected {} operands, got {}", name, arity,
                                      pc_.operands.size()));

        // 10, 11. Misplaced alignment and volatile marks (the checks go on).
        if (pc_.alignment && op != Op::MLoad && op != Op::MStore && op != Op::MAlloca)
            note(
                fmt::format("alignment specifier is only valid for load, store and alloca instructions, got {} "
                            "instruction",
                            name));
        if (pc_.is_volatile && op != Op::MLoad && op != Op::MStore)
            note(fmt::format("volatile specifier is only valid for load and store instructions, got {} instruction",
                             name));

        // 12. The record, with the opcode's own rules.
        return build(op, name);
    }

private:
    void note(std::string message) { p_.emit(span_, std::move(message)); }

    void reject(std::string message) {
        note(std::move(message));
        out_.push_back(fallback_instruction());
    }

    // The instruction, appended as an empty `Rec` that the caller fills in (built
    // where it stays: no record or instruction is moved).
    template <class Rec>
    Rec& start() {
        return *std::get_if<Rec>(&out_.emplace_back(std::in_place_type<Rec>).variant());
    }

    Operand take(std::size_t i) { return std::move(pc_.operands[i]); }

    std::vector<Operand> take_from(std::size_t first) {
        std::vector<Operand> out;
        if (pc_.operands.size() > first) {
            out.reserve(pc_.operands.size() - first);
            for (std::size_t i = first; i < pc_.operands.size(); ++i) out.push_back(std::move(pc_.operands[i]));
        }
        return out;
    }

    // The enumeration value named by the first variant word; an unknown word is
    // reported and `fallback` stands in.
    template <TableEnum E>
    E variant_or(E fallback) {
        const std::string_view word = pc_.variants[0];
        if (auto v = from_str<E>(word)) return *v;
        note(fmt::format("unknown {}: {} (expected one of: {})", variant_kind_text<E>(), word,
                         expected_keyword_list<E>()));
        return fallback;
    }

    template <class Rec>
    void binary() {
        Rec& r = start<Rec>();
        r.dest = dest_;
        r.ty = ty_;
        r.lhs = take(0);
        r.rhs = take(1);
    }

    template <class Rec, class E>
    void binary_with(E Rec::*field, E fallback) {
        Rec& r = start<Rec>();
        r.dest = dest_;
        r.ty = ty_;
        r.lhs = take(0);
        r.rhs = take(1);
        r.*field = variant_or<E>(fallback);
    }

    template <class Rec>
    void unary() {
        Rec& r = start<Rec>();
        r.dest = dest_;
        r.ty = ty_;
        r.value = take(0);
    }

    std::optional<MemoryOrdering> ordering() {
        if (pc_.variants.empty()) return std::nullopt;
        const std::string_view word = pc_.variants[0];
        if (auto v = from_str<MemoryOrdering>(word)) return *v;
        note(fmt::format("unknown {}: {} (expected one of: {})", variant_kind_text<MemoryOrdering>(), word,
                         expected_keyword_list<MemoryOrdering>()));
        return std::nullopt;
    }

    // Index operands (from `first` on) as u32 numbers; each bad index is reported
    // and left out.
    IndexList indices_from(std::size_t first) {
        IndexList out;
        for (std::size_t i = first; i < pc_.operands.size(); ++i) {
            const std::size_t position = i - first;
            const AnyConst* c = pc_.operands[i].as_imm();
            const IConst* ic = c ? std::get_if<IConst>(c) : nullptr;
            if (!ic) {
                note(fmt::format("index {} must be an integer immediate", position));
                continue;
            }
            if (ic->value < 0) {
                note(fmt::format("index {} must be non-negative", position));
                continue;
            }
            if (ic->value > std::numeric_limits<std::uint32_t>::max()) {
                note(fmt::format("index {} is too large to fit in u32", position));
                continue;
            }
            out.push_back(ic->value.convert_to<std::uint32_t>());
        }
        return out;
    }

    void build(Op op, std::string_view name) {
        switch (op) {
            case Op::IAdd: return binary_with(&IAdd::variant, OverflowSignednessPolicy::Wrap);
            case Op::ISub: return binary_with(&ISub::variant, OverflowSignednessPolicy::Wrap);
            case Op::IMul: return binary_with(&IMul::variant, OverflowSignednessPolicy::Wrap);
            case Op::IDiv: return binary_with(&IDiv::signedness, IntegerSignedness::Signed);
            case Op::IRem: return binary_with(&IRem::signedness, IntegerSignedness::Signed);
            case Op::ICmp: return binary_with(&ICmp::variant, ICmpVariant::Eq);
            case Op::ISht: return binary_with(&ISht::variant, IShiftVariant::Lsl);
            case Op::INeg: return unary<INeg>();
            case Op::IAnd: return binary<IAnd>();
            case Op::IOr: return binary<IOr>();
            case Op::IXor: return binary<IXor>();
            case Op::INot: return unary<INot>();
            case Op::IImplies: return binary<IImplies>();
            case Op::IEquiv: return binary<IEquiv>();
            case Op::FAdd: return binary<FAdd>();
            case Op::FSub: return binary<FSub>();
            case Op::FMul: return binary<FMul>();
            case Op::FDiv: return binary<FDiv>();
            case Op::FRem: return binary<FRem>();
            case Op::FCmp: return binary_with(&FCmp::variant, FCmpVariant::Oeq);
            case Op::FNeg: return unary<FNeg>();
            case Op::MLoad: {
                MLoad& r = start<MLoad>();
                r.dest = dest_;
                r.ty = ty_;
                r.addr = take(0);
                r.alignement = pc_.alignment;
                r.ordering = ordering();
                r.volatile_ = pc_.is_volatile;
                return;
            }
            case Op::MStore: {
                MStore& r = start<MStore>();
                r.addr = take(0);
                r.value = take(1);
                r.alignement = pc_.alignment;
                r.ordering = ordering();
                r.volatile_ = pc_.is_volatile;
                return;
            }
            case Op::MAlloca: {
                MAlloca& r = start<MAlloca>();
                r.dest = dest_;
                r.ty = ty_;
                r.count = take(0);
                r.alignement = pc_.alignment;
                return;
            }
            case Op::MGetElementPtr: {
                if (pc_.operands.empty())
                    return reject(fmt::format(
                        "arity mismatch for {} instruction: expected at least 1 operand for indices, got 0", name));
                MGetElementPtr& r = start<MGetElementPtr>();
                r.dest = dest_;
                r.ty = ty_;
                r.in_ty = *pc_.additional_type;
                r.base = take(0);
                r.indices = take_from(1);
                return;
            }
            case Op::Invoke: {
                if (pc_.operands.empty())
                    return reject(fmt::format(
                        "arity mismatch for {} instruction: expected at least 1 operand (function pointer), got {}",
                        name, pc_.operands.size()));
                Invoke& r = start<Invoke>();
                r.function = take(0);
                r.args = take_from(1);
                if (pc_.destination) {
                    r.dest = dest_;
                    r.ty = ty_;
                }
                return;
            }
            case Op::Phi: {
                Phi& r = start<Phi>();
                r.dest = dest_;
                r.ty = ty_;
                // Moved into a list of their exact number; the scratch list keeps
                // its room for the next line.
                r.values.assign(std::make_move_iterator(pc_.pairs.begin()), std::make_move_iterator(pc_.pairs.end()));
                pc_.pairs.clear();
                return;
            }
            case Op::Select: {
                Select& r = start<Select>();
                r.dest = dest_;
                r.ty = ty_;
                r.condition = take(0);
                r.true_value = take(1);
                r.false_value = take(2);
                return;
            }
            case Op::Cast: {
                Cast& r = start<Cast>();
                r.dest = dest_;
                r.ty = ty_;
                r.value = take(0);
                r.variant = variant_or<CastVariant>(CastVariant::Bitcast);
                return;
            }
            case Op::InsertValue: {
                if (pc_.operands.size() < 3)
                    return reject(fmt::format(
                        "arity mismatch for {} instruction: expected aggregate, value, and at least one index, got {}",
                        name, pc_.operands.size()));
                InsertValue& r = start<InsertValue>();
                r.dest = dest_;
                r.ty = ty_;
                r.indices = indices_from(2);
                r.aggregate = take(0);
                r.value = take(1);
                return;
            }
            case Op::ExtractValue: {
                if (pc_.operands.size() < 2)
                    return reject(fmt::format(
                        "arity mismatch for {} instruction: expected aggregate and at least one index, got {}", name,
                        pc_.operands.size()));
                ExtractValue& r = start<ExtractValue>();
                r.dest = dest_;
                r.ty = ty_;
                r.indices = indices_from(1);
                r.aggregate = take(0);
                return;
            }
            case Op::MetaAssert: {
                MetaAssert& r = start<MetaAssert>();
                r.condition = take(0);
                return;
            }
            case Op::MetaAssume: {
                MetaAssume& r = start<MetaAssume>();
                r.condition = take(0);
                return;
            }
            case Op::MetaIsDef: {
                MetaIsDef& r = start<MetaIsDef>();
                r.dest = dest_;
                r.ty = ty_;
                r.operand = take(0);
                return;
            }
            case Op::MetaProb: return build_prob();
            case Op::MetaAnalysisStat: return build_analysis();
            case Op::MetaForall: {
                MetaForall& r = start<MetaForall>();
                r.dest = dest_;
                r.ty = ty_;
                return;
            }
        }
        out_.push_back(fallback_instruction());
    }

    void build_prob() {
        const std::string_view word = pc_.variants[0];
        const auto variant = from_str<MetaProbVariant>(word);
        if (!variant)
            return reject(fmt::format("unknown {}: {} (expected one of: {})", variant_kind_text<MetaProbVariant>(),
                                      word, expected_keyword_list<MetaProbVariant>()));
        if (pc_.operands.size() != 1)
            return reject(fmt::format("arity mismatch for meta-probability variant {}: expected {} operands, got {}",
                                      word, 1, pc_.operands.size()));
        MetaProb& r = start<MetaProb>();
        r.dest = dest_;
        r.ty = ty_;
        r.operand = MetaProbOperand{*variant, take(0)};
    }

    void build_analysis() {
        const std::string_view word = pc_.variants[0];
        const auto stat = from_str<AnalysisStatisticOp>(word);
        if (!stat)
            return reject(fmt::format("unknown {}: {} (expected one of: {})", variant_kind_text<AnalysisStatisticOp>(),
                                      word, expected_keyword_list<AnalysisStatisticOp>()));
        const std::size_t count = pc_.operands.size();
        MetaAnalysisStat r;
        r.dest = dest_;
        r.ty = ty_;
        switch (*stat) {
            case AnalysisStatisticOp::InstructionCount: {
                if (count != 1)
                    return reject(fmt::format("arity mismatch for !analysis.icnt: expected 1 operand, got {}", count));
                const AnyConst* c = pc_.operands[0].as_imm();
                const IConst* ic = c ? std::get_if<IConst>(c) : nullptr;
                if (!ic) return reject("type error for !analysis.icnt: expected integer immediate operand");
                const BigInt magnitude = ic->value < 0 ? BigInt(-ic->value) : ic->value;
                const auto low = static_cast<BigInt>(magnitude & BigInt(0xFFFFFFFFu)).convert_to<std::uint32_t>();
                r.statistic = InstructionCount{InstructionFlags::from_bits_truncate(low)};
                break;
            }
            case AnalysisStatisticOp::ExecutionCount:
                if (count != 0)
                    return reject(
                        fmt::format("arity mismatch for !analysis.excnt: expected 0 operands, got {}", count));
                r.statistic = ExecutionCount{};
                break;
            case AnalysisStatisticOp::TerminationBehavior: {
                if (count != 0)
                    return reject(fmt::format("arity mismatch for !analysis.term: expected 0 operands, got {}", count));
                const std::string_view scope_word = pc_.variants[1];
                const auto scope = from_str<TerminationScopeKind>(scope_word);
                if (!scope)
                    return reject(fmt::format(
                        "unknown termination scope variant: {} (expected one of: blockexit, funcexit, reach)",
                        scope_word));
                switch (*scope) {
                    case TerminationScopeKind::BlockExit: r.statistic = TerminationBehavior{BlockExit{}}; break;
                    case TerminationScopeKind::FunctionExit: r.statistic = TerminationBehavior{FunctionExit{}}; break;
                    case TerminationScopeKind::ReachAny:
                        if (pc_.labels.empty())
                            return reject("syntax error for !analysis.term.reach: expected at least 1 label");
                        r.statistic = TerminationBehavior{ReachAny{std::move(pc_.labels)}};
                        pc_.labels.clear();
                        break;
                }
                break;
            }
        }
        out_.emplace_back(std::move(r));
    }

    InstrPieces& pc_;
    TokenRange span_;
    Parser& p_;
    std::vector<KeInstr>& out_;
    Name dest_{};
    Typeref ty_{};
};

}  // namespace

KeInstr fallback_instruction() {
    MetaAssert r;
    r.condition = Operand::imm(AnyConst{IConst::from(1)});
    return KeInstr{std::move(r)};
}

void validate_instruction(InstrPieces& pieces, TokenRange span, Parser& p, std::vector<KeInstr>& out) {
    Validator(pieces, span, p, out).run();
}

std::uint32_t check_alignment(Parser& p, const Token& number, TokenRange span) {
    constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (auto small = number.number_i64(); small && *small >= 1 && *small <= static_cast<std::int64_t>(kMax))
        return static_cast<std::uint32_t>(*small);
    const BigInt value = number.number();
    p.emit(span, fmt::format("invalid alignment value: must be between 1 and {}, got {}", kMax, to_decimal(value)));
    const BigInt magnitude = value < 0 ? BigInt(-value) : value;
    return static_cast<BigInt>(magnitude & BigInt(kMax)).convert_to<std::uint32_t>();
}

}  // namespace keinstr
