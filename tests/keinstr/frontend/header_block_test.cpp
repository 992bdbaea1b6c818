// Function headers, bodies and blocks as the entry reads them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keinstr/text/lexer.hpp"
#include "keinstr/text/module_grammar.hpp"
#include "tests/keinstr/frontend/frontend_fixture.hpp"

namespace keinstr::test {
namespace {

TEST(Header, MetadataInEitherOrderSetsVisibilityAndConvention) {
    for (const char* source : {"define void hidden fastcc f() {\nentry: ret void\n}",
                               "define void fastcc hidden f() {\nentry: ret void\n}"}) {
        Frontend fe;
        auto r = fe.parse(source);
        ASSERT_TRUE(r) << source << ": " << describe(r);
        const Function& f = fe.function("f");
        EXPECT_EQ(f.visibility, Visibility::Hidden) << source;
        EXPECT_EQ(f.cconv, CallingConvention(CallingConventionKind::FastC)) << source;
        EXPECT_FALSE(f.return_type.has_value());
    }
}

TEST(Header, NoMetadataLeavesBothAbsentAndKeepsTheReturnType) {
    Frontend fe;
    ASSERT_TRUE(fe.parse("define i64 f() {\nentry: ret i64 0\n}"));
    const Function& f = fe.function("f");
    EXPECT_FALSE(f.visibility.has_value());
    EXPECT_FALSE(f.cconv.has_value());
    EXPECT_EQ(f.return_type, fe.registry.search_or_insert(int_type(64)));
    EXPECT_FALSE(f.meta_function);
    EXPECT_TRUE(f.wildcard_types.empty());
    EXPECT_FALSE(f.aux_uuid.has_value());
}

struct HeaderFailure {
    const char* source;
    std::vector<ParserError> errors;
};

TEST(Header, BadHeadersReportWhereTheyFail) {
    const std::vector<HeaderFailure> cases = {
        // A duplicate covers the whole metadata run, spacing after it included.
        {"define void hidden hidden f() {}", {{std::nullopt, 12, 26, "duplicate visibility metadata"}}},
        {"define void fastcc coldcc f() {}", {{std::nullopt, 12, 26, "duplicate calling convention metadata"}}},
        // A third metadata word is left to the name, which refuses it.
        {"define void hidden fastcc protected f() {}",
         {{std::nullopt, 26, 36, "found 'Protected' expected something else"}}},
        // Metadata before the return type.
        {"define hidden void f() {}", {{std::nullopt, 7, 14, "found 'Hidden' expected type, or 'void'"}}},
        // No line break inside the header.
        {"define void\nf() {}", {{std::nullopt, 11, 12, "found '\\n' expected something else"}}},
        {"define void f()\n{}", {{std::nullopt, 15, 16, "found '\\n' expected '{'"}}},
        // A word with a token of its own is no function name.
        {"define void load() {}", {{std::nullopt, 12, 16, "found 'MLoad' expected something else"}}},
        // Parameter lists take no stray commas.
        {"define void f(%a: i32,) {}", {{std::nullopt, 22, 24, "found ')' expected register"}}},
        {"define void f(, %a: i32) {}", {{std::nullopt, 14, 16, "found ',' expected register, or ')'"}}},
    };
    for (const auto& c : cases) {
        Frontend fe;
        auto r = fe.parse(c.source);
        const auto* pe = parser_errors(r);
        ASSERT_NE(pe, nullptr) << c.source;
        EXPECT_EQ(pe->errors, c.errors) << c.source;
        EXPECT_TRUE(fe.module.functions.empty());
    }
}

TEST(Header, NamesAndLabelsKeepTheirVariantWords) {
    Frontend fe;
    auto r = fe.parse("define i32 f.a.b(%x: i32) {\nbb.1: jump bb\nbb: ret %x\n}");
    ASSERT_TRUE(r) << describe(r);
    const Function& f = fe.function("f.a.b");
    ASSERT_EQ(f.body.size(), 2u);
    // bb.1 is the entry block (label 0); bb is a different label (1).
    EXPECT_EQ(f.body.at(Label{0}).terminator, KeTerminator{Jump{Label{1}}});
    EXPECT_EQ(f.body.at(Label{1}).terminator, KeTerminator{Ret{Operand::reg(Name{0})}});
}

TEST(MetaFunction, DeclarationWithoutMetaInstructionsWarnsAndStillAdds) {
    LogCapture log;
    Frontend fe;
    auto r = fe.parse("define void !p() {\ne: ret void\n}");
    ASSERT_TRUE(r) << describe(r);
    const Function& f = fe.function("p");
    EXPECT_TRUE(f.meta_function);
    EXPECT_EQ(log.parser_records().front(),
              (LogRecord{"keinstr::modules::parser", LogLevel::Warn,
                         "Function 'p' is declared as a meta-function but does not use any meta-instructions or "
                         "wildcard types"}));
}

TEST(MetaFunction, UndeclaredMetaInstructionLogsAnErrorAndVerificationRefuses) {
    LogCapture log;
    Frontend fe;
    auto r = fe.parse("define void f(%c: i1) {\ne: !assert %c\nret void\n}");
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is<Error::MetaInstructionInRegularFunction>()) << describe(r);
    EXPECT_EQ(log.parser_records().front(),
              (LogRecord{"keinstr::modules::parser", LogLevel::Error,
                         "Function 'f' should be declared as a meta-function (it uses meta-instructions or has "
                         "wildcard types)"}));
    // Verification failed after insertion: the function stays.
    EXPECT_EQ(fe.module.functions.size(), 1u);
}

TEST(Body, EmptyBodiesParseAndFailVerification) {
    for (const char* source : {"define void f() {}", "define void f() {\n}"}) {
        Frontend fe;
        auto r = fe.parse(source);
        ASSERT_FALSE(r) << source;
        EXPECT_TRUE(r.error().is<Error::MissingEntryBlock>()) << describe(r);
        ASSERT_EQ(fe.module.functions.size(), 1u);
        EXPECT_TRUE(fe.function("f").body.empty());
    }
}

TEST(Body, BlockLayouts) {
    // One line, over many lines, with blank and comment lines between them.
    const std::vector<std::string> sources = {
        "define void f() { e: ret void }",
        "define void f() {\ne:\nret void\n}",
        "define void f() {\n\n; comment\ne: ; here\n\n  ret void ; done\n\n}\n",
        "define i32 f() {\ne: %a: i32 = iadd.wrap i32 1, i32 2\n%b: i32 = iadd.wrap %a, %a ret %b\n}",
    };
    for (const auto& s : sources) {
        Frontend fe;
        auto r = fe.parse(s);
        EXPECT_TRUE(r) << s << ": " << describe(r);
    }
}

TEST(Body, InstructionsNeedLineBreaksBetweenThem) {
    Frontend fe;
    auto r = fe.parse("define i32 f() {\ne: %a: i32 = iadd.wrap i32 1, i32 2 %b: i32 = iadd.wrap %a, %a\nret %b\n}");
    const auto* pe = parser_errors(r);
    ASSERT_NE(pe, nullptr);
    ASSERT_EQ(pe->errors.size(), 1u);
    EXPECT_EQ(pe->errors[0].message, "found '%b' expected ',', label, '\\n', 'Branch', 'Trap', 'Jump', or 'Ret'");
}

TEST(Body, TwoFunctionsNumberFromZeroEach) {
    Frontend fe;
    auto r = fe.parse(
        "define i32 f(%x: i32) {\nentry: jump next\nnext: ret %x\n}\n"
        "define i32 g(%y: i32) {\nstart: jump other\nother: ret %y\n}\n");
    ASSERT_TRUE(r) << describe(r);
    for (const char* name : {"f", "g"}) {
        const Function& f = fe.function(name);
        EXPECT_EQ(f.params.front().first, Name{0});
        EXPECT_EQ(f.body.at(Label{0}).terminator, KeTerminator{Jump{Label{1}}});
        EXPECT_EQ(f.body.at(Label{1}).terminator, KeTerminator{Ret{Operand::reg(Name{0})}});
    }
}

TEST(Body, DuplicateLabelIsReportedAtTheLaterLabel) {
    struct Case {
        const char* source;
        ParserError error;
    };
    const std::vector<Case> cases = {
        {"define void f() {\na: jump b\nb: ret void\na: ret void\n}",
         {std::nullopt, 40, 41, "A basic block with label `a` already exists in the function."}},
        {"define void f() {\nbb.1: ret void\nbb.1 : trap\n}",
         {std::nullopt, 33, 38, "A basic block with label `bb.1` already exists in the function."}},
    };
    for (const auto& c : cases) {
        Frontend fe;
        auto r = fe.parse(c.source);
        const auto* pe = parser_errors(r);
        ASSERT_NE(pe, nullptr) << c.source;
        EXPECT_EQ(pe->errors, std::vector<ParserError>{c.error}) << c.source;
        EXPECT_TRUE(fe.module.functions.empty());
    }
}

TEST(Body, DuplicateLabelKeepsTheEarlierBlockInTheGrammarResult) {
    const std::string source = "define void f() {\na: trap\na: ret void\n}";
    LexOutput lexed = lex(source);
    ASSERT_TRUE(lexed.ok());
    TypeRegistry registry{0, NodeId{}};
    State state(nullptr, random_uuid_generator(), registry);
    ModuleParse parsed = parse_with_state(lexed.tokens->tokens, state);
    ASSERT_TRUE(parsed.items.has_value());
    ASSERT_EQ(parsed.errors.size(), 1u);
    EXPECT_EQ(parsed.errors[0].span, (TokenRange{11, 12}));
    const Function* f = (*parsed.items)[0].function();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->body.size(), 1u);
    EXPECT_EQ(f->body.at(Label{0}).terminator, KeTerminator{Trap{}});
}

TEST(Body, FunctionUuidsComeFromTheGeneratorOncePerFunction) {
    const std::string source = "define void f() {\na: trap\n}\ndefine void g() {\na: trap\n}";
    LexOutput lexed = lex(source);
    ASSERT_TRUE(lexed.ok());
    TypeRegistry registry{0, NodeId{}};
    int calls = 0;
    auto gen = std::make_shared<const UuidGenerator>([&calls] {
        Uuid u;
        u.bytes[15] = static_cast<std::uint8_t>(++calls);
        return u;
    });
    State state(nullptr, gen, registry);
    ModuleParse parsed = parse_with_state(lexed.tokens->tokens, state);
    ASSERT_TRUE(parsed.items.has_value());
    ASSERT_EQ(parsed.items->size(), 2u);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ((*parsed.items)[0].function()->uuid.bytes[15], 1);
    EXPECT_EQ((*parsed.items)[1].function()->uuid.bytes[15], 2);
    EXPECT_TRUE(state.labels.empty());
    EXPECT_TRUE(state.registers.empty());
}

}  // namespace
}  // namespace keinstr::test
