// Registers, labels, constants and operands.

#include <gtest/gtest.h>

#include <functional>

#include "grammar_fixture.hpp"
#include "keinstr/text/operand_grammar.hpp"

namespace keinstr {
namespace {

using test::Grammar;
using test::uuid_of;

IConst iconst(std::uint32_t bits, long long v) { return IConst{IType{bits}, BigInt(v)}; }

struct OperandCase {
    const char* text;
    std::function<Operand(const Grammar&)> expected;
};

TEST(OperandGrammar, Forms) {
    const OperandCase cases[] = {
        {"%x", [](const Grammar&) { return Operand::reg(Name{0}); }},
        {"i32 undef", [](const Grammar& g) { return Operand::undef(g.i(32)); }},
        {"{i8, i8} undef",
         [](const Grammar& g) {
             return Operand::undef(g.intern(struct_type({g.i(8), g.i(8)})));
         }},
        {"[2 x i8] undef", [](const Grammar& g) { return Operand::undef(g.intern(array_type(g.i(8), 2))); }},
        {"ptr undef", [](const Grammar& g) { return Operand::undef(g.intern(ptr_type())); }},
        {"i64 -1", [](const Grammar&) { return Operand::imm(iconst(64, -1)); }},
        {"i8 300", [](const Grammar&) { return Operand::imm(iconst(8, 300)); }},
        {"i32 0x10", [](const Grammar&) { return Operand::imm(iconst(32, 16)); }},
        {"fp64 2.5",
         [](const Grammar&) {
             return Operand::imm(FConst{FType::Fp64, Decimal(BigInt(25), 1)});
         }},
        {"fp32 1e3",
         [](const Grammar&) {
             return Operand::imm(FConst{FType::Fp32, Decimal(1000)});
         }},
        {"ptr main", [](const Grammar&) { return Operand::imm(FunctionPointer::internal(uuid_of(1))); }},
        {"ptr external puts", [](const Grammar&) { return Operand::imm(FunctionPointer::external(uuid_of(2))); }},
        {"ptr lib.sum", [](const Grammar&) { return Operand::imm(FunctionPointer::internal(uuid_of(3))); }},
    };
    for (const OperandCase& c : cases) {
        Grammar g(c.text);
        g.resolver.known = {{"main", uuid_of(1)}, {"puts", uuid_of(2)}, {"lib.sum", uuid_of(3)}};
        const auto got = operand_parser(g.parser);
        ASSERT_TRUE(got) << c.text << ": " << g.failure();
        EXPECT_TRUE(g.parser.at_end()) << c.text;
        EXPECT_TRUE(g.parser.findings().empty()) << c.text;
        EXPECT_EQ(*got, c.expected(g)) << c.text;
    }
}

TEST(OperandGrammar, FunctionPointersAskTheResolver) {
    struct Case {
        const char* text;
        std::pair<std::string, bool> asked;
        const char* finding;  // nullptr: resolved
        TokenRange span;
    };
    const Case cases[] = {
        {"ptr f.g", {"f.g", false}, nullptr, {}},
        {"ptr external f.g", {"f.g", true}, nullptr, {}},
        {"ptr nope", {"nope", false}, "function pointer 'nope' not found", {0, 2}},
        {"ptr external no.pe", {"no.pe", true}, "external function pointer 'no.pe' not found", {0, 3}},
    };
    for (const Case& c : cases) {
        Grammar g(c.text);
        g.resolver.known = {{"f.g", uuid_of(9)}};
        const auto got = constant_parser(g.parser);
        ASSERT_TRUE(got) << c.text;
        EXPECT_EQ(g.resolver.asked, (std::vector<std::pair<std::string, bool>>{c.asked})) << c.text;
        if (c.finding) {
            EXPECT_EQ(*got, AnyConst{FunctionPointer::internal(Uuid::nil())}) << c.text;
            EXPECT_EQ(g.parser.findings(), (std::vector<Finding>{{c.span, c.finding}})) << c.text;
        } else {
            const auto expected =
                c.asked.second ? FunctionPointer::external(uuid_of(9)) : FunctionPointer::internal(uuid_of(9));
            EXPECT_EQ(*got, AnyConst{expected}) << c.text;
            EXPECT_TRUE(g.parser.findings().empty()) << c.text;
        }
    }
}

TEST(OperandGrammar, RejectedOperands) {
    struct Case {
        const char* text;
        const char* failure;
    };
    const Case cases[] = {
        {":", "found ':' expected register, undef operand, or immediate operand"},
        {"fp32 1", "found '1' expected 'undef', or token Decimal"},
        {"i32 undef.x", "found 'undef.x' expected 'undef', or token Number"},
        {"ptr !f", "found '!f' expected 'undef', 'external', or token Identifier"},
        {"ptr external", "found end of input expected token Identifier"},
        // A size finding inside the abandoned typed undef is dropped with it.
        {"[0 x i8] 5", "found '5' expected 'undef'"},
    };
    for (const Case& c : cases) {
        Grammar g(c.text);
        EXPECT_FALSE(operand_parser(g.parser)) << c.text;
        EXPECT_EQ(g.parser.pos(), 0u) << c.text;
        EXPECT_EQ(g.failure(), c.failure) << c.text;
        EXPECT_TRUE(g.parser.findings().empty()) << c.text;
    }
}

TEST(OperandGrammar, AbandonedTypedUndefStillInterns) {
    Grammar g("i32 7 ptr f [0 x i8] 5");
    g.resolver.known = {{"f", uuid_of(1)}};
    ASSERT_TRUE(operand_parser(g.parser));
    EXPECT_EQ(g.registry.len(), 1u);  // i32
    ASSERT_TRUE(operand_parser(g.parser));
    EXPECT_EQ(g.registry.len(), 2u);  // ptr
    EXPECT_FALSE(operand_parser(g.parser));
    EXPECT_EQ(g.registry.len(), 4u);  // i8, [1 x i8]
    g.intern(array_type(g.i(8), 1));
    g.intern(ptr_type());
    EXPECT_EQ(g.registry.len(), 4u);
}

TEST(OperandGrammar, RegistersAndLabelsNumberInOrderOfAppearance) {
    Grammar g("%b %a %b bb.1 bb bb.1");
    std::vector<std::uint32_t> regs, labels;
    for (int i = 0; i < 3; ++i) regs.push_back(register_parser_a(g.parser)->id);
    for (int i = 0; i < 3; ++i) labels.push_back(label_parser(g.parser)->id);
    EXPECT_EQ(regs, (std::vector<std::uint32_t>{0, 1, 0}));
    EXPECT_EQ(labels, (std::vector<std::uint32_t>{0, 1, 0}));
    Grammar bad(":");
    EXPECT_FALSE(register_parser_a(bad.parser));
    EXPECT_FALSE(label_parser(bad.parser));
    EXPECT_EQ(bad.failure(), "found ':' expected register, or label");
}

}  // namespace
}  // namespace keinstr
