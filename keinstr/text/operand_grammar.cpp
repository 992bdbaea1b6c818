#include "keinstr/text/operand_grammar.hpp"

#include <string>

#include <fmt/format.h>

#include "keinstr/text/type_grammar.hpp"

namespace keinstr {

namespace {

using K = TokenDiscriminants;

std::optional<AnyConst> integer_constant(Parser& p) {
    return p.labelled("integer constant", [&]() -> std::optional<AnyConst> {
        const Token* ty = p.kind(K::IType);
        if (!ty) return std::nullopt;
        const Token* value = p.kind(K::Number);
        if (!value) return std::nullopt;
        return AnyConst{IConst{ty->itype(), value->number()}};
    });
}

std::optional<AnyConst> float_constant(Parser& p) {
    return p.labelled("floating-point constant", [&]() -> std::optional<AnyConst> {
        const Token* ty = p.kind(K::FType);
        if (!ty) return std::nullopt;
        const Token* value = p.kind(K::Decimal);
        if (!value) return std::nullopt;
        return AnyConst{FConst{ty->ftype(), value->decimal()}};
    });
}

std::optional<AnyConst> function_pointer(Parser& p) {
    return p.labelled("function pointer", [&]() -> std::optional<AnyConst> {
        const std::size_t start = p.pos();
        if (!p.keyword(Keyword::Ptr)) return std::nullopt;
        const bool external = p.keyword(Keyword::External);
        const Token* name = p.kind(K::Identifier);
        if (!name) return std::nullopt;
        const std::string_view text = name->full_word();
        if (auto uuid = p.state().resolve_function(std::string(text), external)) {
            return AnyConst{external ? FunctionPointer::external(*uuid) : FunctionPointer::internal(*uuid)};
        }
        p.emit(TokenRange{start, p.pos()},
               fmt::format("{}function pointer '{}' not found", external ? "external " : "", text));
        return AnyConst{FunctionPointer::internal(Uuid::nil())};
    });
}

}  // namespace

std::optional<Name> register_parser_a(Parser& p) {
    return p.labelled("register", [&]() -> std::optional<Name> {
        const Token* reg = p.kind(K::Register);
        if (!reg) return std::nullopt;
        return read_register(p.state(), *reg);
    });
}

std::optional<Label> label_parser(Parser& p) {
    return p.labelled("label", [&]() -> std::optional<Label> {
        const Token* ident = p.kind(K::Identifier);
        if (!ident) return std::nullopt;
        return read_label(p.state(), *ident);
    });
}

std::optional<AnyConst> constant_parser(Parser& p) {
    if (auto c = integer_constant(p)) return c;
    if (auto c = float_constant(p)) return c;
    return function_pointer(p);
}

std::optional<Operand> operand_parser(Parser& p) {
    // Quick phase: a register operand is one token, read straight into the
    // operand. (Through `register_parser_a`, GCC passes the small optional
    // name through the stack in pieces and reads it back whole: a stalled load
    // on every operand.)
    if (p.phase() == ParsePhase::Quick) {
        if (const Token* reg = p.kind(K::Register)) return Operand::reg(read_register(p.state(), *reg));
    } else if (auto reg = register_parser_a(p)) {
        return Operand::reg(*reg);
    }
    // Shortcut: a scalar type not followed by "undef" starts no undef operand.
    // Trying that alternative would intern the type and fail at the next token;
    // the type is interned here all the same, and the immediate is read.
    if (p.phase() == ParsePhase::Quick) {
        const std::size_t at = p.pos();
        if (auto scalar = scalar_type_at(p)) {
            const Token* ty = p.peek();
            p.skip_one();
            if (p.keyword(Keyword::Undef)) return Operand::undef(*scalar);
            // An integer immediate whose value fits 64 bits is read here, without
            // making the constant first.
            if (const Token* value = p.peek(); ty->is(K::IType) && value && value->is(K::Number)) {
                if (const auto small = value->number_i64()) {
                    p.skip_one();
                    return Operand{ConstBox::integer(ty->itype().num_bits, *small)};
                }
            }
            p.rewind(Parser::Mark{at, p.findings().size()});
            if (auto imm = constant_parser(p)) return Operand::imm(std::move(*imm));
            return std::nullopt;
        }
    }
    auto undef = p.labelled("undef operand", [&]() -> std::optional<Typeref> {
        auto ty = labelled_type_parser(p);
        if (!ty || !p.keyword(Keyword::Undef)) return std::nullopt;
        return ty;
    });
    if (undef) return Operand::undef(*undef);
    auto imm = p.labelled("immediate operand", [&] { return constant_parser(p); });
    if (imm) return Operand::imm(std::move(*imm));
    return std::nullopt;
}

}  // namespace keinstr
