#include "keinstr/text/lexer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/mman.h>

#include "lex_helpers.hpp"

namespace keinstr {
namespace {

using test::check;
using test::error_lines;
using test::kAnyToken;
using test::kAnyTokenOrEnd;
using test::LexCase;
using test::token_lines;

std::string found(std::size_t start, std::size_t end, std::string_view item, std::string_view expected) {
    return std::to_string(start) + "-" + std::to_string(end) + ": found '" + std::string(item) + "' expected " +
           std::string(expected);
}

TEST(WordClassification, KeywordsAndIdentifiers) {
    check({
        {"import", {"Import@0-6"}, {}},
        {"void", {"Void@0-4"}, {}},
        {"import.x void.x", {"Identifier(\"import\", [\"x\"])@0-9", "Identifier(\"void\", [\"x\"])@9-15"}, {}},
        {"default protected", {"Visibility(Default)@0-8", "Visibility(Protected)@8-17"}, {}},
        {"cc fastcc cfguard_checkcc",
         {"CallingConvention(C)@0-3", "CallingConvention(FastC)@3-10", "CallingConvention(CfguardCheckC)@10-25"},
         {}},
        {"cc0 cc012 cc4294967295",
         {"CallingConvention(Numbered(0))@0-4", "CallingConvention(Numbered(12))@4-10",
          "CallingConvention(Numbered(4294967295))@10-22"},
         {}},
        {"cc4294967296 ccx", {"Identifier(\"cc4294967296\", [])@0-13", "Identifier(\"ccx\", [])@13-16"}, {}},
        {"iadd and getelementptr !forall",
         {"InstrOp(IAdd, [])@0-5", "InstrOp(IAnd, [])@5-9", "InstrOp(MGetElementPtr, [])@9-23",
          "InstrOp(MetaForall, [])@23-30"},
         {}},
        {"icmp.slt !analysis.term.reach",
         {"InstrOp(ICmp, [\"slt\"])@0-9", "InstrOp(MetaAnalysisStat, [\"term\", \"reach\"])@9-29"},
         {}},
        {"assert !assert prob",
         {"Identifier(\"assert\", [])@0-7", "InstrOp(MetaAssert, [])@7-15", "Identifier(\"prob\", [])@15-19"},
         {}},
        {"branch jump ret trap",
         {"TerminatorOp(Branch)@0-7", "TerminatorOp(Jump)@7-12", "TerminatorOp(Ret)@12-16", "TerminatorOp(Trap)@16-20"},
         {}},
        {"!x.y !lemma !ret",
         {"MetaIdentifier(\"x\", [\"y\"])@0-5", "MetaIdentifier(\"lemma\", [])@5-12",
          "MetaIdentifier(\"ret\", [])@12-16"},
         {}},
        {"a. a..b", {"Identifier(\"a\", [\"\"])@0-3", "Identifier(\"a\", [\"\", \"b\"])@3-7"}, {}},
        {"fp16 bf16 fp32 fp64 fp128 x86_fp80 ppc_fp128",
         {"FType(Fp16)@0-5", "FType(Bf16)@5-10", "FType(Fp32)@10-15", "FType(Fp64)@15-20", "FType(Fp128)@20-26",
          "FType(X86Fp80)@26-35", "FType(PPCFp128)@35-44"},
         {}},
        {"f32 Fp32 fp32.x",
         {"Identifier(\"f32\", [])@0-4", "Identifier(\"Fp32\", [])@4-9", "Identifier(\"fp32\", [\"x\"])@9-15"},
         {}},
        {"unordered monotonic acquire release acq_rel seq_cst",
         {"Ordering(Unordered)@0-10", "Ordering(Monotonic)@10-20", "Ordering(Acq)@20-28", "Ordering(Rel)@28-36",
          "Ordering(AcqRel)@36-44", "Ordering(SeqCst)@44-51"},
         {}},
        {"acquire.x", {"Identifier(\"acquire\", [\"x\"])@0-9"}, {}},
        {"i1 i8388607 i007 i32.x i32x",
         {"IType(IType { num_bits: 1 })@0-3", "IType(IType { num_bits: 8388607 })@3-12",
          "IType(IType { num_bits: 7 })@12-17", "Identifier(\"i32\", [\"x\"])@17-23", "Identifier(\"i32x\", [])@23-27"},
         {}},
        {"define ptr x vscale packed undef external align volatile",
         {"Identifier(\"define\", [])@0-7", "Identifier(\"ptr\", [])@7-11", "Identifier(\"x\", [])@11-13",
          "Identifier(\"vscale\", [])@13-20", "Identifier(\"packed\", [])@20-27", "Identifier(\"undef\", [])@27-33",
          "Identifier(\"external\", [])@33-42", "Identifier(\"align\", [])@42-48",
          "Identifier(\"volatile\", [])@48-56"},
         {}},
        {"_x Default émoi",
         {"Identifier(\"_x\", [])@0-3", "Identifier(\"Default\", [])@3-11", "Identifier(\"émoi\", [])@11-16"},
         {}},
        {"x\xcc\x81y", {"Identifier(\"x\\u{301}y\", [])@0-4"}, {}},
    });
}

TEST(WordClassification, Findings) {
    check({
        {"ret.x",
         {"TerminatorOp(Ret)@0-5"},
         {"0-5: terminator operation 'ret' does not take any variants, but variants were provided"}},
        {" hidden.x ",
         {"Visibility(Hidden)@0-10"},
         {"1-9: visibility 'hidden' does not take any variants, but variants were provided"}},
        {"cc.a cc7.",
         {"CallingConvention(C)@0-5", "CallingConvention(Numbered(7))@5-9"},
         {"0-4: calling convention 'cc' does not take any variants, but variants were provided",
          "5-9: calling convention 'cc7' does not take any variants, but variants were provided"}},
        {"i0 i8388608",
         {"Identifier(\"i0\", [])@0-3", "Identifier(\"i8388608\", [])@3-11"},
         {"0-2: cannot create IType with width 0 (must be between 1 and 8388607)",
          "3-11: cannot create IType with width 8388608 (must be between 1 and 8388607)"}},
        {"i4294967295 i4294967296",
         {"Identifier(\"i4294967295\", [])@0-12", "Identifier(\"i4294967296\", [])@12-23"},
         {"0-11: cannot create IType with width 4294967295 (must be between 1 and 8388607)",
          "12-23: invalid integer type width '4294967296': number too large to fit in target type"}},
        {"  i  ",
         {"Identifier(\"i\", [])@0-5"},
         {"2-3: invalid integer type width '': cannot parse integer from empty string"}},
        // Findings keep their order; the one that ends lexing comes last and drops the tokens.
        {"i0 ret.x ?",
         {},
         {"0-2: cannot create IType with width 0 (must be between 1 and 8388607)",
          "3-8: terminator operation 'ret' does not take any variants, but variants were provided",
          found(9, 10, "?", kAnyTokenOrEnd)}},
    });
}

TEST(Lexer, SpacingCommentsAndNewlines) {
    check({
        {"", {}, {}},
        {"\n", {"Newline@0-1"}, {}},
        {"\n\n  ; c\n\t\n", {"Newline@0-10"}, {}},
        {"a\r\nb", {"Identifier(\"a\", [])@0-2", "Newline@2-3", "Identifier(\"b\", [])@3-4"}, {}},
        {"a ; one\n\n ; two\n b ; three",
         {"Identifier(\"a\", [])@0-7", "Newline@7-17", "Identifier(\"b\", [])@17-26"},
         {}},
        // Line and paragraph separators, next line, no-break space: blanks, not line breaks.
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xa9"
         "c\xc2\x85"
         "d\xc2\xa0"
         "e\v\f",
         {"Identifier(\"a\", [])@0-4", "Identifier(\"b\", [])@4-8", "Identifier(\"c\", [])@8-11",
          "Identifier(\"d\", [])@11-14", "Identifier(\"e\", [])@14-17"},
         {}},
        {"(){}[]<>,:=",
         {"LParen@0-1", "RParen@1-2", "LBrace@2-3", "RBrace@3-4", "LBracket@4-5", "RBracket@5-6", "LAngle@6-7",
          "RAngle@7-8", "Comma@8-9", "Colon@9-10", "Equals@10-11"},
         {}},
        // Spacing alone is read only together with a token.
        {"   ", {}, {"3-3: found end of input expected " + std::string(kAnyToken)}},
        {"; only a comment", {}, {"16-16: found end of input expected " + std::string(kAnyToken)}},
        {"; comment\n", {"Newline@0-10"}, {}},
    });
}

TEST(Lexer, RegistersAndStrings) {
    check({
        {"% %a.b %1 %x_y.",
         {"Register(\"\")@0-2", "Register(\"a.b\")@2-7", "Register(\"1\")@7-10", "Register(\"x_y.\")@10-15"},
         {}},
        {"%%", {"Register(\"\")@0-1", "Register(\"\")@1-2"}, {}},
        {R"("" "a\q\"b\\" "t\tn\nr\r")",
         {"StringLiteral(\"\")@0-3", "StringLiteral(\"aq\\\"b\\\\\")@3-14", "StringLiteral(\"t\\tn\\nr\\r\")@14-25"},
         {}},
        {"\"two\nlines\"", {"StringLiteral(\"two\\nlines\")@0-11"}, {}},
        {"\"\\é\"", {"StringLiteral(\"é\")@0-5"}, {}},
        {"\"semi ; colon\" ; comment", {"StringLiteral(\"semi ; colon\")@0-24"}, {}},
    });
    const LexOutput out = lex(R"("a\"b")");
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.tokens->tokens[0].text(), "a\"b");
    EXPECT_EQ(out.tokens->tokens[0].to_string(), R"("a\"b")");
}

TEST(Lexer, CharacterThatStartsNoToken) {
    check({
        {"?", {}, {found(0, 1, "?", kAnyTokenOrEnd)}},
        {"  ?", {}, {found(2, 3, "?", kAnyToken)}},
        {"a €", {}, {found(2, 5, "€", kAnyTokenOrEnd)}},
        {"x\n.", {}, {found(2, 3, ".", kAnyTokenOrEnd)}},
        {"a \x01", {}, {found(2, 3, "\x01", kAnyTokenOrEnd)}},
        // A lone "!" fails after it, where an identifier character was wanted.
        {"! x", {}, {"1-2: found ' ' expected something else"}},
        {"!", {}, {"1-1: found end of input expected something else"}},
        // An unclosed string literal runs to the end of the source.
        {"x \"abc", {}, {"6-6: found end of input expected '\\', or '\"'"}},
        {"\"ab\\", {}, {"4-4: found end of input expected any"}},
        {"\"ab\\\"", {}, {"5-5: found end of input expected '\\', or '\"'"}},
        // Invalid UTF-8 is shown as the replacement character, one bad byte at a time.
        {"a \xff\xfe", {}, {found(2, 3, "\xef\xbf\xbd", kAnyTokenOrEnd)}},
    });
}

TEST(Lexer, InvalidUtf8InsideTokensIsKept) {
    const LexOutput out = lex("\"\xff\\\xfe\"");
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.tokens->tokens[0].text(), "\xff\xfe");
}

TEST(Lexer, SpansTileARealisticSource) {
    const std::string src =
        "; a module\n"
        "define i32 add(i32 %a, i32 %b) hidden cc7 {\r\n"
        "entry:   ; first block\n"
        "  %s = iadd.wrap i32 %a, %b\n"
        "  %c = icmp.slt i32 %s, -0x10\n"
        "  %f = fadd fp64 1.5e-3, -2.50\n"
        "  %p = load i8, ptr %q, align 8, acquire\n"
        "  !assert %c\n"
        "  branch %c, bb.exit, loop\n"
        "\n\n"
        "bb.exit:\n"
        "  ret i32 %s  \t; done\n"
        "}\n"
        "import \"lib\\\"x\"";
    const LexOutput out = lex(src);
    ASSERT_TRUE(out.ok()) << (out.errors.empty() ? "" : out.errors[0].message);
    const auto& spans = out.tokens->spans;
    ASSERT_EQ(spans.size(), out.tokens->tokens.size());
    ASSERT_FALSE(spans.empty());
    EXPECT_EQ(spans.front().start, 0u);
    for (std::size_t i = 1; i < spans.size(); ++i) {
        EXPECT_EQ(spans[i].start, spans[i - 1].end) << i;
        EXPECT_LT(spans[i].start, spans[i].end) << i;
    }
    EXPECT_EQ(spans.back().end, src.size());
    // Words and names are views into the source text.
    for (const Token& t : out.tokens->tokens) {
        if (t.is(TokenDiscriminants::Identifier) || t.is(TokenDiscriminants::Register)) {
            const char* p = t.is(TokenDiscriminants::Register) ? t.text().data() : t.word().data();
            EXPECT_GE(p, src.data());
            EXPECT_LT(p, src.data() + src.size());
        }
    }
    const auto lines = token_lines(out);
    EXPECT_EQ(lines.front(), "Newline@0-11");
    EXPECT_EQ(lines[1], "Identifier(\"define\", [])@11-18");
    EXPECT_EQ(lines.back(),
              "StringLiteral(\"lib\\\"x\")@" + std::to_string(src.size() - 8) + "-" + std::to_string(src.size()));
}

TEST(Lexer, FindingsBecomeParserErrors) {
    const LexOutput out = lex("i0 \n€");
    ASSERT_EQ(out.errors.size(), 2u);
    EXPECT_FALSE(out.tokens.has_value());
    const std::vector<ParserError> errors = to_parser_errors(out.errors);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0],
              (ParserError{std::nullopt, 0, 2, "cannot create IType with width 0 (must be between 1 and 8388607)"}));
    EXPECT_EQ(errors[1], (ParserError{std::nullopt, 4, 7, "found '€' expected " + std::string(kAnyTokenOrEnd)}));
}

TEST(Lexer, RefusesSourcesOfFourGibibytesOrMore) {
    // Reserved but inaccessible address space: the refusal must not read a byte.
    const std::size_t size = kMaxSourceBytes + 1;
    void* region = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
    const LexOutput out = lex(std::string_view(static_cast<const char*>(region), size));
    ::munmap(region, size);
    EXPECT_FALSE(out.tokens.has_value());
    EXPECT_EQ(
        error_lines(out),
        (std::vector<std::string>{"0-1: source of 4294967296 bytes is too large to lex (at most 4294967295 bytes)"}));
}

}  // namespace
}  // namespace keinstr
