// The fast parse of the front end (tokens lexed on demand, failures not kept,
// shortcuts for common shapes) set against the parse over the whole token list
// that keeps its failures. Shared by the tests and the fuzz target (no test
// framework here).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "keinstr/text/lexer.hpp"
#include "keinstr/text/module_grammar.hpp"
#include "keinstr/text/state.hpp"
#include "keinstr/types/registry.hpp"

namespace keinstr::test {

struct ParseAgreement {
    bool lexed = false;       // the source lexes without findings (else nothing was compared)
    bool full_ok = false;     // the full parse succeeded without errors
    bool fast_ok = false;     // the fast parse gave items
    bool same_items = false;  // both succeeded with equal functions, in order

    // The outcomes agree: both failed, or both succeeded with the same functions.
    bool agree() const noexcept { return !lexed || (full_ok == fast_ok && (!full_ok || same_items)); }
};

// Both parses of `source`, with one registry, the same resolver (names that
// start with "missing" or whose length is a multiple of `unknown_every` are
// unknown) and UUID generators counting from the same start.
inline ParseAgreement compare_parses(std::string_view source, std::size_t unknown_every = 0) {
    ParseAgreement out;
    const LexOutput whole = lex(source);
    if (!whole.ok()) return out;
    out.lexed = true;
    const std::span<const Token> tokens(whole.tokens->tokens.data(), whole.tokens->tokens.size());
    TypeRegistry registry(0, NodeId{});
    const auto resolver = std::make_shared<const FunctionResolver>(
        [unknown_every](std::string name, bool external) -> std::optional<Uuid> {
            if (name.starts_with("missing")) return std::nullopt;
            if (unknown_every != 0 && name.size() % unknown_every == 0) return std::nullopt;
            Uuid u;
            for (std::size_t i = 0; i < name.size(); ++i) u.bytes[i % 16] ^= static_cast<std::uint8_t>(name[i]);
            u.bytes[15] ^= external ? 1 : 0;
            return u;
        });
    const auto counter = [] {
        return std::make_shared<const UuidGenerator>([n = std::make_shared<std::uint32_t>(0)] {
            Uuid u;
            ++*n;
            u.bytes[0] = static_cast<std::uint8_t>(*n);
            u.bytes[1] = static_cast<std::uint8_t>(*n >> 8);
            u.bytes[2] = static_cast<std::uint8_t>(*n >> 16);
            return u;
        });
    };
    State tracked(resolver, counter(), registry);
    const ModuleParse full = parse_with_state(tokens, tracked);
    State fast(resolver, counter(), registry);
    IncrementalLexer lexer(source);
    const auto got = parse_on_demand(lexer, fast);

    out.full_ok = full.items && full.errors.empty();
    out.fast_ok = got.has_value();
    if (!out.full_ok || !out.fast_ok || got->size() != full.items->size()) return out;
    for (std::size_t i = 0; i < got->size(); ++i) {
        const Function* a = (*got)[i].function();
        const Function* b = (*full.items)[i].function();
        if ((a == nullptr) != (b == nullptr) || (a && !(*a == *b))) return out;
    }
    out.same_items = true;
    return out;
}

}  // namespace keinstr::test
