// The front end lexes as the grammar asks for tokens and drops the tokens of
// every finished item: these tests hold that to the result of lexing the whole
// source first, on sources spanning many token chunks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "keinstr/text/lexer.hpp"
#include "keinstr/text/module_grammar.hpp"
#include "keinstr/text/token_window.hpp"
#include "tests/keinstr/frontend/frontend_fixture.hpp"
#include "tests/keinstr/frontend/parse_agreement.hpp"

namespace keinstr::test {
namespace {

// `n` functions of about 60 tokens each; function `bad` (if below n) has
// `bad_line` as its first instruction.
std::string program(std::size_t n, std::size_t bad = SIZE_MAX, const std::string& bad_line = "") {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += "define i64 f" + std::to_string(i) + "(%a: i64, %p: ptr) {\nentry:\n";
        if (i == bad) s += "  " + bad_line + "\n";
        s += "  %x: i64 = iadd.wrap %a, i64 " + std::to_string(i) + "\n";
        s += "  %y: i64 = load %p, align 8\n";
        s += "  %c: i1 = icmp.slt %x, %y\n";
        s += "  branch %c, next, done\nnext:\n  jump done\ndone:\n";
        s += "  %r: i64 = phi [%x, entry], [%y, next]\n  ret %r\n}\n";
    }
    return s;
}

TEST(IncrementalLexer, GivesTheTokensAndFindingsOfTheWholeRun) {
    const std::vector<std::string> sources = {
        "",
        "   ; only a comment",
        program(3),
        program(200),               // several chunks
        "i0 \n%a, i7 i0",           // findings that do not stop the run
        program(100) + "i0 $ i64",  // a finding, then a character that stops it
        "define void f() {\n€",
    };
    for (const std::string& src : sources) {
        const LexOutput whole = lex(src);
        for (const std::size_t batch : {std::size_t{1}, std::size_t{3}, std::size_t{4096}}) {
            IncrementalLexer lexer(src);
            std::vector<Token> tokens;
            std::vector<Token> buffer(batch);
            for (;;) {
                const std::size_t got = lexer.next(buffer);
                tokens.insert(tokens.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
                if (got < batch) break;
            }
            // Asking again after the end gives nothing.
            EXPECT_EQ(lexer.next(buffer), 0u);
            EXPECT_EQ(lexer.finish(), whole.errors) << src.substr(0, 40) << " batch " << batch;
            if (whole.tokens) {
                EXPECT_TRUE(
                    std::equal(tokens.begin(), tokens.end(), whole.tokens->tokens.begin(), whole.tokens->tokens.end()))
                    << src.substr(0, 40) << " batch " << batch;
            }
        }
    }
}

TEST(IncrementalLexer, FinishLexesWhatTheReaderLeft) {
    // The reader stops after a few tokens; the finding near the end still counts.
    const std::string src = program(50) + "i0";
    IncrementalLexer lexer(src);
    std::vector<Token> buffer(5);
    ASSERT_EQ(lexer.next(buffer), 5u);
    const std::vector<LexError> errors = lexer.finish();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].span.start, src.size() - 2);
}

TEST(TokenWindow, KeepsTokensInPlaceUntilReleased) {
    const std::string src = program(300);
    const LexOutput whole = lex(src);
    ASSERT_TRUE(whole.ok());
    const auto& all = whole.tokens->tokens;
    ASSERT_GT(all.size(), 4 * TokenWindow::kChunk);

    IncrementalLexer lexer(src);
    TokenWindow window(lexer);
    // A token keeps its address while later chunks are lexed.
    const Token* first = window.get(10);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(window.get(3 * TokenWindow::kChunk + 5), nullptr);
    EXPECT_EQ(*first, all[10]);
    EXPECT_EQ(window.get(10), first);

    window.release_before(2 * TokenWindow::kChunk + 1);
    for (std::size_t i = 2 * TokenWindow::kChunk; i < all.size(); i += 97) {
        const Token* t = window.get(i);
        ASSERT_NE(t, nullptr) << i;
        EXPECT_EQ(*t, all[i]) << i;
    }
    EXPECT_EQ(window.get(all.size()), nullptr);
    EXPECT_EQ(window.get(all.size() + TokenWindow::kChunk), nullptr);

    // Over a complete list.
    TokenWindow complete(std::span<const Token>(all.data(), all.size()));
    EXPECT_EQ(complete.get(all.size() - 1), &all.back());
    EXPECT_EQ(complete.get(all.size()), nullptr);
}

TEST(TokenWindow, ShortRunsFitTheirFirstChunk) {
    // The first chunk is sized by the source when the run is shorter than a
    // chunk; one-byte tokens with no blanks between them are the most a source
    // of that length can hold (the sanitizer build checks the bounds).
    constexpr std::size_t k = TokenWindow::kChunk;
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, k - 2, k - 1, k, k + 1, 2 * k + 3}) {
        const std::string src(n, ',');
        const LexOutput whole = lex(src);
        ASSERT_TRUE(whole.ok()) << n;
        const auto& all = whole.tokens->tokens;
        ASSERT_EQ(all.size(), n);
        IncrementalLexer lexer(src);
        TokenWindow window(lexer);
        for (std::size_t i = 0; i < n; ++i) {
            const Token* t = window.get(i);
            ASSERT_NE(t, nullptr) << n << " at " << i;
            EXPECT_EQ(*t, all[i]) << n << " at " << i;
        }
        EXPECT_EQ(window.get(n), nullptr) << n;
        EXPECT_EQ(window.get(n + 1), nullptr) << n;
    }
}

TEST(OnDemandParse, AgreesWithTheParseOfTheWholeTokenList) {
    // Well formed, and failing in the last function (after many chunks were
    // dropped), by a finding and by a syntax failure.
    const std::size_t n = 250;
    const std::vector<std::string> sources = {
        program(n),
        program(n, n - 1, "%z: [0 x i8] = alloca i8 1"),
        program(n, n - 1, "%z: i64 = = iadd"),
        program(n, 0, "%z: i64 = = iadd"),
        program(n) + "define",
    };
    for (const std::string& src : sources) {
        const LexOutput whole = lex(src);
        ASSERT_TRUE(whole.ok());
        const std::span<const Token> tokens(whole.tokens->tokens.data(), whole.tokens->tokens.size());

        TypeRegistry r1{0, NodeId{}};
        State s1(nullptr, nullptr, r1);
        ModuleParse expected = parse_with_state(tokens, s1);

        TypeRegistry r2{0, NodeId{}};
        State s2(nullptr, nullptr, r2);
        IncrementalLexer lexer(src);
        const auto got = parse_on_demand(lexer, s2);
        EXPECT_TRUE(lexer.finish().empty());

        // Items exactly when the tracked parse succeeded without errors.
        const bool expected_ok = expected.items && expected.errors.empty();
        ASSERT_EQ(got.has_value(), expected_ok);
        if (got) {
            ASSERT_EQ(got->size(), expected.items->size());
            for (std::size_t i = 0; i < got->size(); ++i) {
                const Function& a = *(*got)[i].function();
                const Function& b = *(*expected.items)[i].function();
                EXPECT_EQ(a.name, b.name);
                EXPECT_EQ(a.body.size(), b.body.size());
                EXPECT_EQ(a.params.size(), b.params.size());
            }
        }
        // The state can be run again after a failed run, with the same outcome.
        if (!got) {
            s2.clear();
            const ModuleParse again = parse_with_state(tokens, s2);
            EXPECT_EQ(again.errors, expected.errors);
        }
    }
}

TEST(OnDemandParse, InternsTheSameTypesInTheSameOrder) {
    // Types first named by an immediate, an undef operand, a function pointer or an
    // alternative that is given up: the shortcuts must intern each of them when the
    // full rules do, so that every handle (drawn from the registry's counter) is
    // the same.
    const std::vector<std::string> sources = {
        "define void f() {\ne:\n  %x: i64 = iadd.wrap i16 3, i8 undef\n  %y: fp32 = fadd fp16 1.5, ptr undef\n  "
        "trap\n}\n",
        "define void f() {\ne:\n  %x: i64 = invoke ptr undef, i32 7\n  %y: i1 = icmp.eq i128 -9, [4 x i8] undef\n  "
        "trap\n}\n",
        "define void f() {\ne:\n  %x: i8 = phi [i8 1, e]\n  %y: ptr = getelementptr {i8, i24}, ptr undef, i40 2\n  "
        "trap\n}\n",
        "define void f() {\ne:\n  store fp128 2.5, i1 1\n  %z: i7 = select i1 0, i7 1, <2 x i7> undef\n  trap\n}\n",
    };
    for (const std::string& src : sources) {
        const LexOutput whole = lex(src);
        ASSERT_TRUE(whole.ok()) << src;
        const std::span<const Token> tokens(whole.tokens->tokens.data(), whole.tokens->tokens.size());
        TypeRegistry full_registry{0, NodeId{}};
        State full_state(nullptr, nullptr, full_registry);
        const ModuleParse full = parse_with_state(tokens, full_state);
        ASSERT_TRUE(full.items && full.errors.empty()) << src;

        TypeRegistry fast_registry{0, NodeId{}};
        State fast_state(nullptr, nullptr, fast_registry);
        IncrementalLexer lexer(src);
        ASSERT_TRUE(parse_on_demand(lexer, fast_state).has_value()) << src;
        // Handles carry the time they were made: the types, in handle order, must
        // read the same.
        const auto types_in_order = [](const TypeRegistry& r) {
            std::vector<std::string> out;
            const auto guard = r.read();
            for (const auto& [handle, ty] : guard.map()) out.push_back(guard.text(handle));
            return out;
        };
        EXPECT_EQ(types_in_order(fast_registry), types_in_order(full_registry)) << src;
        EXPECT_GE(fast_registry.len(), 4u) << src;
    }
}

TEST(OnDemandParse, FailuresAfterManyItemsReportWholeSourceOffsetsAndTokens) {
    const std::size_t n = 250;
    const std::string src = program(n, n - 1, "%z: i64 = = iadd");
    Frontend fe;
    const auto r = fe.parse(src);
    const auto* pe = parser_errors(r);
    ASSERT_NE(pe, nullptr);
    ASSERT_EQ(pe->errors.size(), 1u);
    const std::size_t at = src.find("= = iadd") + 2;
    EXPECT_EQ(pe->errors[0].start, at);
    EXPECT_EQ(src.substr(pe->errors[0].start, 1), "=");
    EXPECT_EQ(pe->tokens.size(), lex(src).tokens->tokens.size());
    EXPECT_TRUE(fe.module.functions.empty());

    // A lexing finding at the very end wins over a parse that went well.
    Frontend fe2;
    const auto r2 = fe2.parse(program(n) + "i0");
    const auto* pe2 = parser_errors(r2);
    ASSERT_NE(pe2, nullptr);
    ASSERT_EQ(pe2->errors.size(), 1u);
    EXPECT_EQ(pe2->errors[0].message, "cannot create IType with width 0 (must be between 1 and 8388607)");
    EXPECT_TRUE(pe2->tokens.empty());
    EXPECT_TRUE(fe2.module.functions.empty());

    Frontend fe3;
    ASSERT_TRUE(fe3.parse(program(n))) << describe(fe3.parse(program(n)));
    EXPECT_EQ(fe3.module.functions.size(), n);
}

// The fast parse agrees with the full one; whether the parse succeeded.
bool expect_same_parse(std::string_view src, const std::string& what) {
    const ParseAgreement r = compare_parses(src);
    EXPECT_TRUE(r.agree()) << what << ": full " << r.full_ok << ", fast " << r.fast_ok << ", same " << r.same_items;
    return r.lexed && r.full_ok && r.fast_ok;
}

TEST(OnDemandParse, ShortcutsGiveWhatTheFullRulesGive) {
    // Every instruction and type form, immediates of each kind (and numerals after
    // types they do not suit), undef operands, phis, label lists, alignment and
    // volatile marks, and lines that fail part way. A line with a meta-instruction
    // is put in a meta-function.
    struct Line {
        std::string text;
        bool parses;  // by the full rules
    };
    const std::vector<Line> lines = {
        {"%r: i64 = iadd.wrap %a, i64 7", true},
        {"%r: i64 = iadd.wrap i64 undef, %a", true},
        {"%r: fp64 = fadd %f, fp64 1.5", true},
        {"%r: fp64 = fadd %f, fp64 1", false},
        {"%r: fp32 = fadd fp32 7, %f", false},
        {"%r: ptr = select %c, %p, ptr 0", false},
        {"%r: i64 = iadd.wrap ptr 1, %a", false},
        {"%r: ptr = getelementptr {i64, fp64, i32}, %p, %a, i32 1", true},
        {"%r: ptr = getelementptr [16 x fp64], %p, %a", true},
        {"%r: i64 = load %p, align 8", true},
        {"%r: i64 = load.acquire %p, align 8, volatile", true},
        {"store %p, %a, align 8", true},
        {"store %p, %a, volatile", true},
        {"%r: ptr = alloca i64 16, align 8", true},
        {"%r: i64 = invoke ptr f0, %a, %p", true},
        {"%r: i64 = invoke ptr external g, %a", true},
        {"%r: i64 = invoke ptr missing, %a", false},
        {"%r: i1 = icmp.slt %a, i64 -3", true},
        {"%r: i64 = select i1 1, %a, i64 2", true},
        {"%r: <4 x i32> = iadd.wrap <4 x i32> undef, <4 x i32> undef", true},
        {"%r: {i64, [2 x i8]} = insertvalue {i64, [2 x i8]} undef, %a, i32 0", true},
        {"%r: i32 = cast.trunc %a", true},
        {"%r: [0 x i8] = alloca i8 1", false},
        {"%r: i64 = iadd.wrap %a,", false},
        {"%r: = iadd %a, %a", false},
        {"%r: ptr = ptr undef", false},
        {"%r: i64 = phi [%a, entry]", true},
        {"!assert %c", true},
        {"%r: i1 = !analysis.term.reach entry, exit, entry", true},
        {"%r: i1 = !analysis.term.reach exit", true},
        {"%r: i1 = !analysis.term.reach", false},
        {"%r: i1 = !analysis.term.reach exit,", false},
        {"%r: i64 = iadd.wrap %a, %a, align 3", false},
        {"%r: packed {i8, i16} = insertvalue packed {i8, i16} undef, i8 1, i32 0", true},
        {"%r: i64 = iadd.wrap ptr f0, %a", true},
    };
    for (const Line& line : lines) {
        const bool meta = line.text.find('!') != std::string::npos;
        const std::string src = std::string("define i64 ") + (meta ? "!" : "") +
                                "f0(%a: i64, %p: ptr, %f: fp64, %c: i1) {\nentry:\n  " + line.text +
                                "\n  ret %a\n}\ndefine void g() {\ne:\n  trap\n}\n";
        EXPECT_EQ(expect_same_parse(src, line.text), line.parses) << line.text;
    }
    EXPECT_TRUE(expect_same_parse(program(120), "program"));
    EXPECT_FALSE(expect_same_parse(program(120, 60, "%z: i64 = = iadd"), "failing program"));
}

}  // namespace
}  // namespace keinstr::test
