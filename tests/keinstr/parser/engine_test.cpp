// The grammar engine's model: backtracking with findings rewound and state kept,
// labels at a rule's start, the furthest failure, keywords, separated lists.

#include <gtest/gtest.h>

#include "grammar_fixture.hpp"
#include "keinstr/text/operand_grammar.hpp"

namespace keinstr {
namespace {

using test::Grammar;
using K = TokenDiscriminants;

TEST(Engine, RewindDropsFindingsButKeepsStateEffects) {
    Grammar g("%a [0 x i8] ,");
    Parser& p = g.parser;
    const auto start = p.mark();
    // An alternative that numbers a register, emits a finding and then fails.
    auto r = p.atomic([&]() -> bool {
        EXPECT_TRUE(register_parser_a(p));
        p.emit(TokenRange{0, 1}, "inside");
        return p.punct(K::Colon);
    });
    EXPECT_FALSE(r);
    EXPECT_EQ(p.pos(), start.pos);
    EXPECT_TRUE(p.findings().empty());
    EXPECT_EQ(g.state.registers.size(), 1u);

    // A successful alternative keeps its finding.
    EXPECT_TRUE(p.atomic([&]() -> bool {
        p.emit(TokenRange{0, 1}, "kept");
        return register_parser_a(p).has_value();
    }));
    EXPECT_EQ(g.messages(), std::vector<std::string>{"kept"});
    EXPECT_EQ(g.state.get_register("a"), Name{0});
}

TEST(Engine, LabelReplacesPatternsOnlyAtTheRuleStart) {
    {
        Grammar g(":");
        auto r = g.parser.labelled("thing", [&] { return g.parser.punct(K::Comma) || g.parser.punct(K::Equals); });
        EXPECT_FALSE(r);
        EXPECT_EQ(g.failure(), "found ':' expected thing");
    }
    {
        // Failure one token in: the inner pattern stands.
        Grammar g(", :");
        auto r = g.parser.labelled("thing", [&] { return g.parser.punct(K::Comma) && g.parser.punct(K::Equals); });
        EXPECT_FALSE(r);
        EXPECT_EQ(g.failure(), "found ':' expected '='");
        EXPECT_EQ(g.parser.pos(), 0u);
    }
    {
        // A rule that succeeds without consuming still leaves its label.
        Grammar g(":");
        auto r = g.parser.labelled("list", [&] {
            g.parser.punct(K::Comma);
            return true;
        });
        EXPECT_TRUE(r);
        EXPECT_EQ(g.failure(), "found ':' expected list");
    }
    {
        // Patterns recorded at the same position before the rule are kept, first
        // seen first; the label follows them once.
        Grammar g(":");
        g.parser.punct(K::Equals);
        g.parser.labelled("thing", [&] { return g.parser.punct(K::Equals) || g.parser.punct(K::Comma); });
        g.parser.punct(K::LParen);
        EXPECT_EQ(g.failure(), "found ':' expected '=', thing, or '('");
    }
}

TEST(Engine, FurthestFailureWins) {
    Grammar g(", :");
    Parser& p = g.parser;
    p.atomic([&] { return p.punct(K::Comma) && p.kind(K::Number); });
    p.punct(K::Equals);  // nearer: ignored
    EXPECT_EQ(g.failure(), "found ':' expected token Number");
    p.atomic([&] { return p.punct(K::Comma) && p.punct(K::Equals); });
    p.atomic([&] { return p.punct(K::Comma) && p.kind(K::Number); });  // duplicate: once
    EXPECT_EQ(g.failure(), "found ':' expected token Number, or '='");
    // End of input is further than any token.
    Grammar h(",");
    h.parser.atomic([&] { return h.parser.punct(K::Comma) && h.parser.punct(K::Colon); });
    EXPECT_EQ(h.failure(), "found end of input expected ':'");
}

TEST(Engine, KeywordsAreExactWordsWithoutVariants) {
    struct Case {
        const char* text;
        bool is_ptr;
    };
    for (const Case& c :
         {Case{"ptr", true}, Case{"ptr.a", false}, Case{"Ptr", false}, Case{"ptr.", false}, Case{"ptrx", false}}) {
        Grammar g(c.text);
        EXPECT_EQ(g.parser.keyword(Keyword::Ptr), c.is_ptr) << c.text;
        if (!c.is_ptr) {
            EXPECT_EQ(g.failure(), fmt::format("found '{}' expected 'ptr'", c.text));
        }
    }
}

TEST(Engine, FixedTokensShowTheirDisplayText) {
    Grammar g("%r");
    Parser& p = g.parser;
    p.punct(K::Newline);
    p.punct(K::Void);
    p.terminator(KeTerminatorOp::Ret);
    p.kind(K::Identifier);
    p.filter([](const Token&) { return false; });
    p.end();
    EXPECT_EQ(g.failure(), "found '%r' expected '\\n', 'void', 'Ret', token Identifier, or end of input");
    Grammar h(":");
    h.parser.filter([](const Token&) { return false; });
    EXPECT_EQ(h.failure(), "found ':' expected something else");
}

TEST(Engine, SeparatorIsConsumedOnlyWithTheNextItem) {
    Grammar g("%a, %b, :");
    std::vector<Name> names;
    const std::size_t n = g.parser.separated(K::Comma, [&] {
        auto r = register_parser_a(g.parser);
        if (r) names.push_back(*r);
        return r.has_value();
    });
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(names, (std::vector<Name>{Name{0}, Name{1}}));
    ASSERT_NE(g.parser.peek(), nullptr);
    EXPECT_TRUE(g.parser.peek()->is(K::Comma));
    EXPECT_EQ(g.parser.pos(), 3u);

    Grammar empty(":");
    EXPECT_EQ(empty.parser.separated(K::Comma, [&] { return register_parser_a(empty.parser).has_value(); }), 0u);
    EXPECT_EQ(empty.parser.pos(), 0u);
}

}  // namespace
}  // namespace keinstr
