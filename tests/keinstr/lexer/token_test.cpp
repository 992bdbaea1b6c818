#include "keinstr/text/token.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keinstr/text/lexer.hpp"

namespace keinstr {
namespace {

using K = TokenDiscriminants;

TEST(TokenKinds, NamesAndLabelsInOrder) {
    const std::vector<std::string> names = {"IType",          "FType",    "Ordering", "Visibility", "CallingConvention",
                                            "TerminatorOp",   "InstrOp",  "Void",     "Import",     "Identifier",
                                            "MetaIdentifier", "Uuid",     "Register", "Number",     "Decimal",
                                            "StringLiteral",  "LParen",   "RParen",   "LBrace",     "RBrace",
                                            "LBracket",       "RBracket", "LAngle",   "RAngle",     "Comma",
                                            "Colon",          "Equals",   "Newline"};
    ASSERT_EQ(names.size(), kTokenKindCount);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto k = static_cast<K>(i);
        EXPECT_EQ(token_kind_name(k), names[i]);
        EXPECT_EQ(token_kind_label(k), "token " + names[i]);
        EXPECT_EQ(token_kind_pattern(k).kind, PatternKind::Label);
        EXPECT_EQ(token_kind_pattern(k).text, "token " + names[i]);
    }
}

struct TextCase {
    Token token;
    std::string display;
    std::string debug;
};

TEST(TokenTexts, DisplayAndDebugOfEveryKind) {
    TokenStore store;
    const Uuid u = *Uuid::parse("01234567-89ab-cdef-0123-456789abcdef");
    const std::vector<TextCase> cases = {
        {Token::itype(32), "i32", "IType(IType { num_bits: 32 })"},
        {Token::ftype(FType::Fp32), "fp32", "FType(Fp32)"},
        {Token::ftype(FType::X86Fp80), "x86_fp80", "FType(X86Fp80)"},
        {Token::ftype(FType::PPCFp128), "ppc_fp128", "FType(PPCFp128)"},
        {Token::ordering(MemoryOrdering::Acq), "Acq", "Ordering(Acq)"},
        {Token::ordering(MemoryOrdering::AcqRel), "AcqRel", "Ordering(AcqRel)"},
        {Token::visibility(Visibility::Hidden), "Hidden", "Visibility(Hidden)"},
        {Token::calling_convention(CallingConvention{}), "C", "CallingConvention(C)"},
        {Token::calling_convention(CallingConvention(CallingConventionKind::CfguardCheckC)), "CfguardCheckC",
         "CallingConvention(CfguardCheckC)"},
        {Token::calling_convention(CallingConvention::numbered(7)), "Numbered(7)", "CallingConvention(Numbered(7))"},
        {Token::terminator_op(KeTerminatorOp::Ret), "Ret", "TerminatorOp(Ret)"},
        {Token::instr_op(KeInstrOp::IAdd), "IAdd", "InstrOp(IAdd, [])"},
        {Token::instr_op(KeInstrOp::ICmp, ".eq"), "ICmp<[\"eq\"]>", "InstrOp(ICmp, [\"eq\"])"},
        {Token::instr_op(KeInstrOp::MetaAnalysisStat, ".term.reach"), "MetaAnalysisStat<[\"term\", \"reach\"]>",
         "InstrOp(MetaAnalysisStat, [\"term\", \"reach\"])"},
        {Token::simple(K::Void), "void", "Void"},
        {Token::simple(K::Import), "import", "Import"},
        {Token::identifier("entry"), "entry", "Identifier(\"entry\", [])"},
        {Token::identifier("a.b.c"), "a.b.c", "Identifier(\"a\", [\"b\", \"c\"])"},
        {Token::identifier("a."), "a.", "Identifier(\"a\", [\"\"])"},
        {Token::meta_identifier("lemma"), "!lemma", "MetaIdentifier(\"lemma\", [])"},
        {Token::meta_identifier("x.y"), "!x.y", "MetaIdentifier(\"x\", [\"y\"])"},
        {Token::uuid(u), "01234567-89ab-cdef-0123-456789abcdef", "Uuid(01234567-89ab-cdef-0123-456789abcdef)"},
        {Token::register_name("x"), "%x", "Register(\"x\")"},
        {Token::register_name(""), "%", "Register(\"\")"},
        {Token::number(-5), "-5", "Number(-5)"},
        {store.number(BigInt("18446744073709551616")), "18446744073709551616", "Number(18446744073709551616)"},
        {store.number(BigInt("-18446744073709551617")), "-18446744073709551617", "Number(-18446744073709551617)"},
        {store.decimal(Decimal(BigInt(250), 2)), "2.50", "Decimal(BigDecimal(sign=Plus, scale=2, digits=[250]))"},
        {store.decimal(Decimal(BigInt(-5), 1)), "-0.5", "Decimal(BigDecimal(sign=Minus, scale=1, digits=[5]))"},
        {store.decimal(Decimal(BigInt(0), 1)), "0.0", "Decimal(BigDecimal(sign=NoSign, scale=1, digits=[]))"},
        {store.decimal(Decimal(BigInt("18446744073709551617"), -3)), "18446744073709551617000",
         "Decimal(BigDecimal(sign=Plus, scale=-3, digits=[1, 1]))"},
        {Token::string_literal("a\nb\"c\\d'\t\r"), "\"a\\nb\\\"c\\\\d'\\t\\r\"",
         "StringLiteral(\"a\\nb\\\"c\\\\d'\\t\\r\")"},
        {Token::string_literal(std::string_view("\0\x01\x7f", 3)), "\"\\0\\u{1}\\u{7f}\"",
         "StringLiteral(\"\\0\\u{1}\\u{7f}\")"},
        {Token::string_literal("e\xcc\x81"), "\"e\\u{301}\"", "StringLiteral(\"e\\u{301}\")"},
        {Token::simple(K::LParen), "(", "LParen"},
        {Token::simple(K::RParen), ")", "RParen"},
        {Token::simple(K::LBrace), "{", "LBrace"},
        {Token::simple(K::RBrace), "}", "RBrace"},
        {Token::simple(K::LBracket), "[", "LBracket"},
        {Token::simple(K::RBracket), "]", "RBracket"},
        {Token::simple(K::LAngle), "<", "LAngle"},
        {Token::simple(K::RAngle), ">", "RAngle"},
        {Token::simple(K::Comma), ",", "Comma"},
        {Token::simple(K::Colon), ":", "Colon"},
        {Token::simple(K::Equals), "=", "Equals"},
        {Token::simple(K::Newline), "\\n", "Newline"},
    };
    std::vector<bool> seen(kTokenKindCount);
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.debug);
        EXPECT_EQ(c.token.to_string(), c.display);
        EXPECT_EQ(c.token.debug(), c.debug);
        seen[static_cast<std::size_t>(c.token.kind())] = true;
    }
    for (std::size_t i = 0; i < kTokenKindCount; ++i) EXPECT_TRUE(seen[i]) << token_kind_name(static_cast<K>(i));
}

TEST(TokenTexts, LexedKeywordsShowDebugNames) {
    const auto out = lex("acquire hidden ret fp32 cc7 iadd icmp.eq");
    ASSERT_TRUE(out.ok());
    std::vector<std::string> shown;
    for (const Token& t : out.tokens->tokens) shown.push_back(t.to_string());
    EXPECT_EQ(shown,
              (std::vector<std::string>{"Acq", "Hidden", "Ret", "fp32", "Numbered(7)", "IAdd", "ICmp<[\"eq\"]>"}));
}

// Lexes a source of exactly one token.
Token one(const LexOutput& out) {
    EXPECT_TRUE(out.ok());
    EXPECT_EQ(out.tokens->tokens.size(), 1u);
    return out.tokens->tokens.at(0);
}

TEST(TokenEquality, LexedPairs) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    const std::vector<Case> cases = {
        {"a", "a", true},
        {"a", "a.b", false},
        {"a.b", "a.b.c", false},
        {"a.", "a", false},
        {"a.b", "a.b", true},
        {"a..b", "a.b", false},
        {"0x10", "16", true},
        {"0o20", "16", true},
        {"0b10000", "16", true},
        {"-0", "0", true},
        {"-0x0", "+0", true},
        {"18446744073709551616", "0x10000000000000000", true},
        {"18446744073709551616", "18446744073709551617", false},
        {"-9223372036854775808", "-0x8000000000000000", true},
        {"9223372036854775808", "-9223372036854775808", false},
        {"cc7", "cc7", true},
        {"cc7", "cc8", false},
        {"cc", "cc0", false},
        {"\n", "\n\n\n", true},
        {"\n", " ; c\n\t\n", true},
        {"icmp.eq", "icmp.ne", false},
        {"icmp.eq", "icmp", false},
        {"icmp.eq", "icmp.eq", true},
        {"1.0", "1.00", true},
        {"2.5", "25e-1", true},
        {"2.5", "2.50", true},
        {"2.5", "2.51", false},
        {"-0.0", "0e5", true},
        {"%x", "%x", true},
        {"%x", "%y", false},
        {"\"a\"", "\"\\a\"", true},
        {"\"a\"", "\"a \"", false},
        {"!x.y", "!x.y", true},
        {"!x", "x", false},
        {"void", "void.x", false},
        {"i32", "i032", true},
        {"i32", "i64", false},
        {"fp32", "fp64", false},
        {"hidden", "hidden", true},
        {"5", "5.0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        const auto la = lex(c.a);
        const auto lb = lex(c.b);
        EXPECT_EQ(one(la) == one(lb), c.equal);
        EXPECT_EQ(one(lb) == one(la), c.equal);
    }
}

TEST(TokenEquality, KeywordPatternsAndHandMadeTokens) {
    const auto out = lex("define define.x entry");
    ASSERT_TRUE(out.ok());
    const Token define = Token::identifier("define");
    EXPECT_EQ(out.tokens->tokens[0], define);
    EXPECT_NE(out.tokens->tokens[1], define);
    EXPECT_NE(out.tokens->tokens[2], define);
    EXPECT_NE(Token::identifier("void"), Token::simple(K::Void));
    EXPECT_EQ(Token::simple(K::Comma), Token::simple(K::Comma));
    EXPECT_NE(Token::simple(K::Comma), Token::simple(K::Colon));

    const Uuid u1 = *Uuid::parse("01234567-89ab-cdef-0123-456789abcdef");
    const Uuid u2 = *Uuid::parse("01234567-89ab-cdef-0123-456789abcdee");
    EXPECT_EQ(Token::uuid(u1), Token::uuid(u1));
    EXPECT_NE(Token::uuid(u1), Token::uuid(u2));

    // A stored number that fits 64 bits compares with inline numbers.
    TokenStore store;
    EXPECT_EQ(store.number(BigInt(42)), Token::number(42));
    EXPECT_EQ(store.decimal(Decimal(BigInt(25), 1)), store.decimal(Decimal(BigInt(250), 2)));
}

TEST(TokenPayloads, NumbersAndVariants) {
    TokenStore store;
    const Token big = store.number(BigInt("-340282366920938463463374607431768211456"));
    EXPECT_EQ(big.number(), BigInt("-340282366920938463463374607431768211456"));
    EXPECT_FALSE(big.number_i64().has_value());
    const Token small = Token::number(-7);
    EXPECT_EQ(small.number_i64(), -7);
    EXPECT_EQ(small.number(), BigInt(-7));

    const Token id = Token::identifier("bb.1..x");
    EXPECT_EQ(id.word(), "bb");
    EXPECT_EQ(id.full_word(), "bb.1..x");
    const Variants v = id.variants();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0], "1");
    EXPECT_EQ(v[1], "");
    EXPECT_EQ(v[2], "x");
    EXPECT_EQ(v.joined(), "1..x");
    std::vector<std::string_view> walked(v.begin(), v.end());
    EXPECT_EQ(walked, (std::vector<std::string_view>{"1", "", "x"}));
    EXPECT_TRUE(Token::identifier("bb").variants().empty());
    EXPECT_EQ(Token::identifier("bb").variants().size(), 0u);
    EXPECT_EQ(Token::identifier("bb.").variants().size(), 1u);
}

}  // namespace
}  // namespace keinstr
