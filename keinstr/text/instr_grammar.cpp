#include "keinstr/text/instr_grammar.hpp"

#include <utility>

#include "keinstr/text/operand_grammar.hpp"
#include "keinstr/text/type_grammar.hpp"
#include "keinstr/text/validate.hpp"

namespace keinstr {

namespace {

using K = TokenDiscriminants;

// Written into `out` in place: returned as an optional, the destination went
// through the stack in pieces and was read back whole (GCC 12), a stalled load
// on every instruction.
bool destination(Parser& p, std::optional<InstrDestination>& out) {
    return p.atomic([&]() -> bool {
        const Token* reg = p.kind(K::Register);
        if (!reg || !p.punct(K::Colon)) return false;
        auto ty = labelled_type_parser(p);
        if (!ty || !p.punct(K::Equals)) return false;
        out.emplace(InstrDestination{reg->text(), *ty});
        return true;
    });
}

std::optional<Typeref> additional_type(Parser& p) {
    // Shortcut: the tokens that start no type here are turned away unread.
    if (p.phase() == ParsePhase::Quick) {
        if (p.next_is(K::Register)) return std::nullopt;  // a register starts no type
        // "[" starts a type only as an array, "[" Number; the pairs of a phi never
        // do (and trying them as a type interns nothing).
        if (p.next_is(K::LBracket) && !p.next_is(1, K::Number)) return std::nullopt;
    }
    return p.atomic([&]() -> std::optional<Typeref> {
        auto ty = labelled_type_parser(p);
        if (!ty || !p.punct(K::Comma)) return std::nullopt;
        return ty;
    });
}

bool phi_operand_list(Parser& p, InstrPieces& pc) {
    // Shortcut: the list must start with "[".
    if (p.phase() == ParsePhase::Quick && !p.next_is(K::LBracket)) return false;
    return p.labelled("phi operand list", [&]() -> bool {
        pc.pairs.clear();
        auto pair = [&]() -> bool {
            return p.atomic([&]() -> bool {
                if (!p.punct(K::LBracket)) return false;
                auto value = operand_parser(p);
                if (!value || !p.punct(K::Comma)) return false;
                auto label = label_parser(p);
                if (!label || !p.punct(K::RBracket)) return false;
                pc.pairs.emplace_back(std::move(*value), *label);
                return true;
            });
        };
        if (p.separated(K::Comma, pair) != 0) return true;
        pc.pairs.clear();
        return false;
    });
}

void operand_list(Parser& p, InstrPieces& pc) {
    p.labelled("operand list", [&]() -> bool {
        p.separated(K::Comma, [&]() -> bool {
            auto value = operand_parser(p);
            if (!value) return false;
            pc.operands.push_back(std::move(*value));
            return true;
        });
        return true;
    });
}

void label_list(Parser& p, InstrPieces& pc) {
    // Shortcut: the list must start with a label (an identifier).
    if (p.phase() == ParsePhase::Quick && !p.next_is(K::Identifier)) return;
    p.separated(K::Comma, [&]() -> bool {
        auto label = label_parser(p);
        if (!label) return false;
        pc.labels.push_back(*label);
        return true;
    });
}

// Written into `out` in place, as the destination is.
void alignment(Parser& p, std::optional<std::uint32_t>& out) {
    // Shortcut: the alignment must start with ",".
    if (p.phase() == ParsePhase::Quick && !p.next_is(K::Comma)) return;
    p.atomic([&]() -> bool {
        const std::size_t start = p.pos();
        if (!p.punct(K::Comma) || !p.keyword(Keyword::Align)) return false;
        const Token* number = p.kind(K::Number);
        if (!number) return false;
        out = check_alignment(p, *number, TokenRange{start, p.pos()});
        return true;
    });
}

bool volatile_mark(Parser& p) {
    // Shortcut: the mark must start with ",".
    if (p.phase() == ParsePhase::Quick && !p.next_is(K::Comma)) return false;
    return p.atomic([&] { return p.punct(K::Comma) && p.keyword(Keyword::Volatile); });
}

std::optional<KeTerminator> branch(Parser& p) {
    return p.atomic([&]() -> std::optional<KeTerminator> {
        if (!p.terminator(KeTerminatorOp::Branch)) return std::nullopt;
        auto condition = operand_parser(p);
        if (!condition || !p.punct(K::Comma)) return std::nullopt;
        auto first = label_parser(p);
        if (!first || !p.punct(K::Comma)) return std::nullopt;
        auto second = label_parser(p);
        if (!second) return std::nullopt;
        return KeTerminator{Branch{std::move(*condition), *first, *second}};
    });
}

std::optional<KeTerminator> jump(Parser& p) {
    return p.atomic([&]() -> std::optional<KeTerminator> {
        if (!p.terminator(KeTerminatorOp::Jump)) return std::nullopt;
        auto target = label_parser(p);
        if (!target) return std::nullopt;
        return KeTerminator{Jump{*target}};
    });
}

std::optional<KeTerminator> ret(Parser& p) {
    return p.atomic([&]() -> std::optional<KeTerminator> {
        if (!p.terminator(KeTerminatorOp::Ret)) return std::nullopt;
        if (auto value = operand_parser(p)) return KeTerminator{Ret{std::move(*value)}};
        if (p.punct(K::Void)) return KeTerminator{Ret{std::nullopt}};
        return std::nullopt;
    });
}

}  // namespace

bool parse_instruction_into(Parser& p, std::vector<KeInstr>& out) {
    return p.atomic([&]() -> bool {
        InstrPieces& pc = p.instr_scratch();
        pc.reset();
        const std::size_t start = p.pos();

        destination(p, pc.destination);
        const Token* op = p.kind(K::InstrOp);
        if (!op) return false;
        pc.op = op->instr_op();
        pc.variants = op->variants();
        pc.additional_type = additional_type(p);
        if (phi_operand_list(p, pc)) {
            pc.phi_form = true;
        } else {
            operand_list(p, pc);
        }
        label_list(p, pc);
        alignment(p, pc.alignment);
        pc.is_volatile = volatile_mark(p);

        validate_instruction(pc, TokenRange{start, p.pos()}, p, out);
        pc.reset();
        return true;
    });
}

std::optional<KeInstr> parse_instruction(Parser& p) {
    std::vector<KeInstr> one;
    if (!parse_instruction_into(p, one)) return std::nullopt;
    return std::move(one.front());
}

std::optional<KeTerminator> parse_terminator(Parser& p) {
    if (auto t = branch(p)) return t;
    if (p.terminator(KeTerminatorOp::Trap)) return KeTerminator{Trap{}};
    if (auto t = jump(p)) return t;
    return ret(p);
}

}  // namespace keinstr
