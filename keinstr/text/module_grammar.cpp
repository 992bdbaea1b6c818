#include "keinstr/text/module_grammar.hpp"

#include <array>
#include <cstddef>
#include <iterator>
#include <utility>

#include <fmt/format.h>

#include "keinstr/text/diagnostics.hpp"
#include "keinstr/text/instr_grammar.hpp"
#include "keinstr/text/operand_grammar.hpp"
#include "keinstr/text/type_grammar.hpp"
#include "keinstr/utils/log.hpp"

namespace keinstr {

namespace {

using K = TokenDiscriminants;

bool is_metadata(const Token& t) noexcept { return t.is(K::Visibility) || t.is(K::CallingConvention); }

bool is_function_name(const Token& t) noexcept { return t.is(K::Identifier) || t.is(K::MetaIdentifier); }

// An optional line break.
void optional_newline(Parser& p) { p.punct(K::Newline); }

// register ":" type
bool parameter(Parser& p, std::vector<Param>& params) {
    return p.atomic([&]() -> bool {
        auto name = register_parser_a(p);
        if (!name || !p.punct(K::Colon)) return false;
        auto ty = labelled_type_parser(p);
        if (!ty) return false;
        params.emplace_back(*name, *ty);
        return true;
    });
}

// The metadata run after the return type: at most two tokens. A second token of
// the same kind as the first emits its duplicate finding over the whole run.
struct Metadata {
    std::array<const Token*, 2> tokens{};
    std::size_t count = 0;
};

Metadata metadata(Parser& p) {
    Metadata out;
    const std::size_t start = p.pos();
    while (out.count < out.tokens.size()) {
        const Token* t = p.filter(is_metadata);
        if (!t) break;
        out.tokens[out.count++] = t;
    }
    bool seen_visibility = false;
    bool seen_cconv = false;
    for (std::size_t i = 0; i < out.count; ++i) {
        const TokenRange run{start, p.pos()};
        if (out.tokens[i]->is(K::Visibility)) {
            if (seen_visibility) p.emit(run, "duplicate visibility metadata");
            seen_visibility = true;
        } else {
            if (seen_cconv) p.emit(run, "duplicate calling convention metadata");
            seen_cconv = true;
        }
    }
    return out;
}

// Logs what the meta-function declaration says against what the body holds.
void check_meta_declaration(const Function& f) {
    if (!log_enabled(kLogTargetParser, LogLevel::Warn) && !log_enabled(kLogTargetParser, LogLevel::Error)) return;
    const bool should = f.should_be_meta_function();
    const std::string_view name = f.name ? std::string_view{*f.name} : std::string_view{};
    if (should && !f.meta_function) {
        KEINSTR_LOG(kLogTargetParser, LogLevel::Error,
                    fmt::format("Function '{}' should be declared as a meta-function (it uses meta-instructions or "
                                "has wildcard types)",
                                name));
    } else if (!should && f.meta_function) {
        KEINSTR_LOG(kLogTargetParser, LogLevel::Warn,
                    fmt::format("Function '{}' is declared as a meta-function but does not use any meta-instructions "
                                "or wildcard types",
                                name));
    }
}

std::optional<Item> item_parser(Parser& p) {
    if (auto import = import_parser(p)) return import;
    if (auto function = parse_function(p)) return Item{std::move(*function)};
    return std::nullopt;
}

}  // namespace

std::optional<Item> import_parser(Parser& p) {
    return p.labelled("import statement", [&]() -> std::optional<Item> {
        if (!p.kind(K::Import)) return std::nullopt;
        const Token* path = p.kind(K::StringLiteral);
        if (!path) return std::nullopt;
        return Item{Item::Import{std::string(path->text())}};
    });
}

bool block_parser(Parser& p, BodyBlocks& body) {
    return p.atomic([&]() -> bool {
        const std::size_t label_pos = p.pos();
        const auto label = label_parser(p);
        if (!label) return false;
        // A second block under a label would silently drop the first one's
        // statements: report it where the label is written again, in the words of
        // the catalogue's duplicate-label error but with the label as written
        // (the user never sees its number).
        const bool duplicate = body.contains(*label);
        if (duplicate) {
            p.emit(TokenRange{label_pos, label_pos + 1},
                   fmt::format("A basic block with label `{}` already exists in the function.",
                               p.token(label_pos).full_word()));
        }
        if (!p.punct(K::Colon)) return false;
        optional_newline(p);

        // The instructions gather in the parser's scratch (whose capacity stays
        // from block to block) and move into a vector of exactly their number.
        std::vector<KeInstr>& scratch = p.block_scratch();
        const std::size_t base = scratch.size();
        p.separated(K::Newline, [&]() -> bool { return parse_instruction_into(p, scratch); });
        const auto give_back = [&] {
            scratch.erase(scratch.begin() + static_cast<std::ptrdiff_t>(base), scratch.end());
        };
        optional_newline(p);
        auto terminator = parse_terminator(p);
        if (!terminator) {
            give_back();
            return false;
        }
        optional_newline(p);

        if (!duplicate) {
            InstrList instructions{ArenaAllocator<KeInstr>(p.state().instruction_arena)};
            instructions.reserve(scratch.size() - base);
            instructions.insert(instructions.end(),
                                std::make_move_iterator(scratch.begin() + static_cast<std::ptrdiff_t>(base)),
                                std::make_move_iterator(scratch.end()));
            body.add(*label, BasicBlock{*label, std::move(instructions), std::move(*terminator)});
        }
        give_back();
        return true;
    });
}

std::optional<Function> parse_function(Parser& p) {
    return p.labelled("function definition", [&]() -> std::optional<Function> {
        if (!p.keyword(Keyword::Define)) return std::nullopt;

        std::optional<Typeref> return_type;
        if (auto ty = labelled_type_parser(p)) {
            return_type = *ty;
        } else if (!p.punct(K::Void)) {
            return std::nullopt;
        }

        const Metadata meta = metadata(p);

        const Token* name_token = p.filter(is_function_name);
        if (!name_token) return std::nullopt;

        if (!p.punct(K::LParen)) return std::nullopt;
        std::vector<Param> params;
        p.separated(K::Comma, [&] { return parameter(p, params); });
        if (!p.punct(K::RParen)) return std::nullopt;

        if (!p.punct(K::LBrace)) return std::nullopt;
        optional_newline(p);
        BodyBlocks body;
        while (block_parser(p, body)) {
        }
        if (!p.punct(K::RBrace)) return std::nullopt;

        // Assembly.
        Function f;
        f.uuid = p.state().new_function_uuid();
        for (std::size_t i = 0; i < meta.count; ++i) {
            const Token& t = *meta.tokens[i];
            if (t.is(K::Visibility)) {
                f.visibility = t.visibility();
            } else {
                f.cconv = t.calling_convention();
            }
        }
        FunctionName name = read_function_name(*name_token);
        f.name = std::move(name.name);
        f.meta_function = name.meta;
        f.params = std::move(params);
        f.return_type = return_type;
        f.body = std::move(body).finish();

        check_meta_declaration(f);
        p.state().clear();
        return f;
    });
}

std::optional<std::vector<Item>> module_parser(Parser& p) {
    std::vector<Item> items;
    for (;;) {
        // Nothing before an item boundary is read again.
        p.commit();
        const Parser::Mark pass = p.mark();
        optional_newline(p);
        auto item = item_parser(p);
        if (!item) {
            p.rewind(pass);
            break;
        }
        items.push_back(std::move(*item));
        optional_newline(p);
    }
    if (!p.end()) return std::nullopt;
    return items;
}

ModuleParse parse_with_state(std::span<const Token> tokens, State& state) {
    Parser p(tokens, state);
    ModuleParse out;
    out.items = module_parser(p);
    out.errors = p.take_findings();
    if (!out.items) out.errors.push_back(syntax_failure(p.furthest(), tokens));
    return out;
}

std::optional<std::vector<Item>> parse_on_demand(IncrementalLexer& lexer, State& state) {
    Parser p(lexer, state);
    p.furthest().disable();
    auto items = module_parser(p);
    if (!p.findings().empty()) return std::nullopt;
    return items;
}

}  // namespace keinstr
