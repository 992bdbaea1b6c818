// A source lexed and ready for one grammar rule: tokens, registry, state and
// parser, plus helpers to read back what the parse left behind.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "keinstr/text/engine.hpp"
#include "keinstr/text/lexer.hpp"
#include "keinstr/text/state.hpp"
#include "keinstr/types/registry.hpp"

namespace keinstr::test {

// A resolver that knows the given names (internal and external alike) and
// records every question it was asked.
struct FakeResolver {
    std::map<std::string, Uuid> known;
    std::vector<std::pair<std::string, bool>> asked;

    std::shared_ptr<const FunctionResolver> make() {
        return std::make_shared<const FunctionResolver>([this](std::string name, bool external) -> std::optional<Uuid> {
            asked.emplace_back(name, external);
            auto it = known.find(name);
            if (it == known.end()) return std::nullopt;
            return it->second;
        });
    }
};

inline Uuid uuid_of(std::uint8_t b) {
    Uuid u;
    u.bytes.fill(b);
    return u;
}

struct Grammar {
    std::string source;
    TokenList lexed;
    TypeRegistry registry{0, NodeId{}};
    FakeResolver resolver;
    State state;
    Parser parser;

    explicit Grammar(std::string src)
        : source(std::move(src)),
          lexed(lex_or_fail(source)),
          state(resolver.make(), random_uuid_generator(), registry),
          parser(lexed.tokens, state) {}

    static TokenList lex_or_fail(std::string_view text) {
        LexOutput out = lex(text);
        EXPECT_TRUE(out.ok()) << "source does not lex: " << text;
        if (!out.tokens) return TokenList{};
        return std::move(*out.tokens);
    }

    std::size_t token_count() const { return lexed.tokens.size(); }

    // The syntax diagnostic the furthest failure would give.
    std::string failure() const {
        const Furthest& f = parser.furthest();
        if (!f.has_failure()) return "<no failure>";
        if (f.position() >= lexed.tokens.size()) return f.reason(std::nullopt);
        const std::string found = lexed.tokens[f.position()].to_string();
        return f.reason(found);
    }

    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const Finding& f : parser.findings()) out.push_back(f.message);
        return out;
    }

    Typeref intern(AnyType ty) const { return registry.search_or_insert(std::move(ty)); }
    Typeref i(std::uint32_t bits) const { return intern(int_type(bits)); }
};

}  // namespace keinstr::test
