// Parse diagnostics: token ranges to byte offsets, the order of the errors of a
// failed parse, and the token texts that come with it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keinstr/text/diagnostics.hpp"
#include "tests/keinstr/frontend/frontend_fixture.hpp"

namespace keinstr::test {
namespace {

TEST(TokenRangeOffsets, RangesMapOntoTheTokensByteSpans) {
    // Three tokens tiling a 10-byte source.
    const std::vector<Span> spans = {{0, 3}, {3, 7}, {7, 10}};
    struct Case {
        TokenRange range;
        std::size_t start, end;
    };
    const std::vector<Case> cases = {
        {{0, 1}, 0, 3},    // one token
        {{1, 3}, 3, 10},   // from the start of token 1 to the end of token 2
        {{3, 3}, 10, 10},  // at the end of the token list: the source length
        {{2, 2}, 7, 7},    // empty range inside: where token 2 begins
        {{0, 0}, 0, 0},    // empty range at the start
        {{1, 9}, 3, 10},   // an end past the list is clamped
        {{9, 9}, 10, 10},  // a start past the list is the end of input
    };
    for (const auto& c : cases) {
        const ParserError e = to_parser_error(Finding{c.range, "m"}, spans, 10);
        EXPECT_EQ(e, (ParserError{std::nullopt, c.start, c.end, "m"})) << c.range.start << ".." << c.range.end;
    }
    // No token at all (a source of nothing but spacing never gets here, but the
    // conversion must still stay inside the source).
    EXPECT_EQ(to_parser_error(Finding{{0, 0}, "m"}, {}, 4), (ParserError{std::nullopt, 4, 4, "m"}));
}

struct SourceCase {
    const char* source;
    std::vector<ParserError> errors;
};

void expect_errors(const std::vector<SourceCase>& cases) {
    for (const auto& c : cases) {
        Frontend fe;
        auto r = fe.parse(c.source);
        const auto* pe = parser_errors(r);
        ASSERT_NE(pe, nullptr) << c.source;
        EXPECT_EQ(pe->errors, c.errors) << c.source;
    }
}

TEST(SyntaxFailure, WhereTheModuleRuleStops) {
    expect_errors({
        // Cut off inside a definition: at the end of input, start = end = length.
        {"define void f() {\ne: ret",
         {{std::nullopt, 24, 24, "found end of input expected register, undef operand, immediate operand, or 'void'"}}},
        // Only a line break: the Newline is given back, the items fail after it.
        {"\n", {{std::nullopt, 1, 1, "found end of input expected import statement, or function definition"}}},
        {"\n; comment only\n\n",
         {{std::nullopt, 17, 17, "found end of input expected import statement, or function definition"}}},
        // A first token that starts no item.
        {"ret void",
         {{std::nullopt, 0, 4, "found 'Ret' expected '\\n', import statement, function definition, or end of input"}}},
        // A token left after the last item.
        {"define void f() {\ne: ret void\n}\n}",
         {{std::nullopt, 32, 33, "found '}' expected '\\n', import statement, function definition, or end of input"}}},
        // A failure inside a definition keeps the inner expectation.
        {"define f() {}", {{std::nullopt, 7, 8, "found 'f' expected type, or 'void'"}}},
        {"import 5", {{std::nullopt, 7, 8, "found '5' expected token StringLiteral"}}},
    });
}

TEST(SyntaxFailure, EmptySourceIsAnEmptyModule) {
    Frontend fe;
    EXPECT_TRUE(fe.parse(""));
    EXPECT_TRUE(fe.module.functions.empty());
}

TEST(Findings, SpansTakeInTheCommentsAttachedToTheirTokens) {
    // The line's finding runs from "%x" through the comment after its last operand.
    const std::string source = "define i32 f(%a: i32) {\ne: %x: i32 = iadd %a, %a ; sum\nret %x\n}";
    Frontend fe;
    auto r = fe.parse(source);
    const auto* pe = parser_errors(r);
    ASSERT_NE(pe, nullptr);
    ASSERT_EQ(pe->errors.size(), 1u);
    EXPECT_EQ(pe->errors[0].start, source.find("%x"));
    EXPECT_EQ(pe->errors[0].end, source.find("\nret"));
    EXPECT_EQ(pe->errors[0].message, "syntax error for iadd instruction: expected variant, got no variant");
}

TEST(Findings, FindingsComeFirstInSourceOrderThenTheSyntaxFailure) {
    const std::string source =
        "define void hidden default f() {\ne: ret void\n}\n"
        "define void g(%a: i32) {\ne: %x: i32 = iadd %a, %a\nret void\n}\n"
        "define void h() {\ne: ret\n}\n";
    Frontend fe;
    auto r = fe.parse(source);
    const auto* pe = parser_errors(r);
    ASSERT_NE(pe, nullptr);
    ASSERT_EQ(pe->errors.size(), 3u);
    EXPECT_EQ(pe->errors[0], (ParserError{std::nullopt, 12, 27, "duplicate visibility metadata"}));
    EXPECT_EQ(pe->errors[1].message, "syntax error for iadd instruction: expected variant, got no variant");
    EXPECT_EQ(pe->errors[1].start, source.find("%x"));
    EXPECT_EQ(pe->errors[2].message, "found '\\n' expected register, undef operand, immediate operand, or 'void'");
    EXPECT_EQ(pe->errors[2].start, source.rfind("\n}"));
}

TEST(Findings, FindingsOfAnAbandonedFunctionAreDropped) {
    // The duplicate metadata is forgotten with the definition that fails later on.
    Frontend fe;
    auto r = fe.parse("define void hidden hidden f() {\ne: ret\n}");
    const auto* pe = parser_errors(r);
    ASSERT_NE(pe, nullptr);
    EXPECT_EQ(messages(*pe),
              std::vector<std::string>{"found '\\n' expected register, undef operand, immediate operand, or 'void'"});
}

TEST(TokenTexts, ParseFailuresCarryEveryTokenLexingFailuresNone) {
    {
        Frontend fe;
        auto r = fe.parse("define void f(%a: i32) {");
        const auto* pe = parser_errors(r);
        ASSERT_NE(pe, nullptr);
        EXPECT_EQ(pe->tokens, (std::vector<std::string>{"Identifier(\"define\", [])", "Void", "Identifier(\"f\", [])",
                                                        "LParen", "Register(\"a\")", "Colon",
                                                        "IType(IType { num_bits: 32 })", "RParen", "LBrace"}));
    }
    {
        Frontend fe;
        auto r = fe.parse("define void f() {\ne: ret void $\n}");
        const auto* pe = parser_errors(r);
        ASSERT_NE(pe, nullptr);
        EXPECT_TRUE(pe->tokens.empty());
        ASSERT_EQ(pe->errors.size(), 1u);
        EXPECT_EQ(pe->errors[0].start, 30u);
        EXPECT_TRUE(pe->errors[0].message.starts_with("found '$' expected ")) << pe->errors[0].message;
    }
}

TEST(Logging, EachFailureKindWritesItsRecord) {
    struct Case {
        const char* source;
        std::string record;
    };
    const std::vector<Case> cases = {
        {"define void f() { e: ret void $ }", "Lexing errors encountered in provided source string:"},
        {"define void f() {", "Parsing errors encountered in provided source string:"},
        {"define void f() { e: ret void }\ndefine void g() { e: jump x }",
         "Module verification failed: " + Error{Error::UndefinedBlock{Label{1}, "g"}}.message()},
    };
    for (const auto& c : cases) {
        LogCapture log;
        Frontend fe;
        EXPECT_FALSE(fe.parse(c.source));
        const auto records = log.parser_records();
        ASSERT_FALSE(records.empty()) << c.source;
        EXPECT_EQ(records.back(), (LogRecord{"keinstr::modules::parser", LogLevel::Error, c.record})) << c.source;
    }
}

}  // namespace
}  // namespace keinstr::test
