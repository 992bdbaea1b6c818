// The lexer against a plain character-at-a-time walk of the same rules
// (reference_lexer.hpp), over generated sources: token soups over every
// reserved word and every token form, their prefixes (so that each token in
// turn ends at the end of the source), random mutations and random bytes. Each
// source is lexed from a buffer of exactly its size, so that reading past its
// end is caught by the sanitizers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "keinstr/text/lexer.hpp"
#include "tests/keinstr/lexer/reference_lexer.hpp"

namespace keinstr::test {
namespace {

// A copy of `src` in a heap block of exactly its size.
class ExactBuffer {
public:
    explicit ExactBuffer(const std::string& src) : data_(new char[src.size() ? src.size() : 1]), size_(src.size()) {
        std::memcpy(data_.get(), src.data(), src.size());
    }
    std::string_view view() const { return {data_.get(), size_}; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_;
};

// Tokens as both lexers must give them: equal by value and by debug text, and
// words, names and variant lists viewing the same bytes of the source.
void expect_same_tokens(std::span<const Token> got, std::span<const Token> want, std::string_view what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].debug(), want[i].debug()) << what << " token " << i;
        ASSERT_TRUE(got[i] == want[i]) << what << " token " << i;
        switch (want[i].kind()) {
            case TokenDiscriminants::Identifier:
            case TokenDiscriminants::MetaIdentifier:
            case TokenDiscriminants::InstrOp:
            case TokenDiscriminants::Register:
                ASSERT_EQ(got[i].full_word().data(), want[i].full_word().data()) << what << " token " << i;
                break;
            default: break;
        }
    }
}

// `lex` and the on-demand lexer (in batches of `batch`) against the reference.
void check_source(const std::string& src, std::size_t batch = 4096) {
    const ExactBuffer buffer(src);
    const std::string_view s = buffer.view();
    SCOPED_TRACE(testing::Message() << "source (" << src.size() << " bytes): " << src.substr(0, 200));

    ReferenceOutput want;
    reference_lex(s, want);

    const LexOutput got = lex(s);
    ASSERT_EQ(got.errors, want.errors);
    ASSERT_EQ(got.tokens.has_value(), want.complete);
    if (got.tokens) {
        expect_same_tokens(got.tokens->tokens, want.tokens, "lex");
        ASSERT_TRUE(
            std::equal(got.tokens->spans.begin(), got.tokens->spans.end(), want.spans.begin(), want.spans.end()));
    }

    IncrementalLexer lexer(s);
    std::vector<Token> tokens;
    std::vector<Token> room(batch);
    for (;;) {
        const std::size_t n = lexer.next(room);
        tokens.insert(tokens.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < batch) break;
    }
    ASSERT_EQ(lexer.finish(), want.errors);
    expect_same_tokens(tokens, want.tokens, "on demand");
}

// Every reserved word, with and without "!" and variants, and samples of every
// other token form, chosen to put word lengths and literal ends on both sides
// of every 8-byte boundary.
std::vector<std::string> vocabulary() {
    std::vector<std::string> v;
    const auto reserved = [&v](std::string_view w) {
        v.emplace_back(w);
        v.push_back(std::string(w) + ".x");
        v.push_back(std::string(w) + ".");
        v.push_back(std::string(w) + ".a.b2");
        if (!w.starts_with("!")) v.push_back("!" + std::string(w));
        v.push_back(std::string(w) + "x");
        v.push_back(std::string(w.substr(0, w.size() - 1)));
    };
    reserved("import");
    reserved("void");
    for (Visibility x : enum_values<Visibility>) reserved(word(x));
    for (std::string_view w : kCallingConventionTexts) reserved(w);
    for (KeInstrOp x : enum_values<KeInstrOp>) reserved(word(x));
    for (KeTerminatorOp x : enum_values<KeTerminatorOp>) reserved(word(x));
    for (std::size_t i = 0; i < kFTypeCount; ++i) reserved(ftype_text(static_cast<FType>(i)));
    for (MemoryOrdering x : enum_values<MemoryOrdering>) reserved(word(x));
    for (std::string_view w : {"i",
                               "i0",
                               "i1",
                               "i8",
                               "i16",
                               "i32",
                               "i64",
                               "i128",
                               "i7",
                               "i8388607",
                               "i8388608",
                               "i0000000001",
                               "i000000000064",
                               "i4294967295",
                               "i4294967296",
                               "i99999999999999999999",
                               "i64.x",
                               "!i64",
                               "i6x",
                               "I64",
                               "cc0",
                               "cc12",
                               "cc4294967295",
                               "cc4294967296",
                               "ccx",
                               "cc.a",
                               "cc7."})
        v.emplace_back(w);
    for (std::size_t len = 1; len <= 34; ++len) {
        std::string w;
        for (std::size_t i = 0; i < len; ++i) w += "abcdefgh_XYZ0123456789"[(i * 7 + len) % 22];
        if (w[0] >= '0' && w[0] <= '9') w[0] = 'q';
        v.push_back(w);
        v.push_back("%" + w);
        v.push_back("!" + w);
        v.push_back(w + "." + w);
    }
    for (std::string_view w : {"%",
                               "%v12",
                               "%a.b",
                               "%1",
                               "%x_y.",
                               "%%",
                               "%é",
                               "entry",
                               "latch0",
                               "getelementptr.inbounds",
                               "émoi",
                               "x\xcc\x81y",
                               "_",
                               "_x",
                               "!",
                               "!.",
                               "!x.y",
                               "a.",
                               "a..b",
                               "0",
                               "7",
                               "12",
                               "-971",
                               "+5",
                               "-0",
                               "00012",
                               "123456789012345678",
                               "-123456789012345678",
                               "1234567890123456789",
                               "9999999999999999999",
                               "999999999999999999",
                               "9223372036854775807",
                               "-9223372036854775808",
                               "9223372036854775808",
                               "99999999999999999999999999",
                               "-99999999999999999999999999",
                               "0x1F",
                               "-0x10",
                               "0X",
                               "0x",
                               "0xg",
                               "0o17",
                               "0o8",
                               "0b101",
                               "0b2",
                               "0B1",
                               "1.5",
                               "-2.50",
                               "1.5e-3",
                               "2e10",
                               "2E+3",
                               "1e",
                               "1.",
                               "1.x",
                               "12abc",
                               "3_",
                               "0.0",
                               "1e99999999999999999999",
                               "1.5e-99999999999999999999",
                               "+",
                               "-",
                               "+x",
                               "\"\"",
                               "\"abc\"",
                               "\"a\\\"b\"",
                               "\"t\\tn\\nr\\r\"",
                               "\"\\\xc3\xa9\"",
                               "\"two\nlines\"",
                               "\"semi ; colon\"",
                               "(",
                               ")",
                               "{",
                               "}",
                               "[",
                               "]",
                               "<",
                               ">",
                               ",",
                               ":",
                               "=",
                               "\n",
                               "\r\n",
                               "?",
                               "$",
                               "\xe2\x82\xac",
                               "\xff",
                               "\xc3",
                               "\x01",
                               "."})
        v.emplace_back(w);
    // Fractions on both sides of 18 digits in all, and what may follow one.
    for (std::string_view w :
         {"123456789.123456789", "-12345678.9012345678", "1234567890.123456789", "123456789.1234567890",
          "0.000000000000000001", "0.0000000000000000001", "+99999999999999999.9", "999999999999999999.9", "-0.0",
          "3.25", "3.25e2", "3.25E-2", "3.25x", "3.25_", "3.25.5", "3..25", "3.é", "1.\xcc\x81", "7.5%v"})
        v.emplace_back(w);
    return v;
}

const std::vector<std::string> kSeparators = {
    "",
    "",
    "",
    " ",
    " ",
    " ",
    "  ",
    "\n",
    "\n  ",
    "\n\n",
    "\t",
    " ; note\n",
    ";c",
    "\r\n",
    "\xc2\xa0",
    "\xe2\x80\xa8",
    "\xc2\x85",
    "        ",
    "\n        x",
    "\v\f",
    "\n       ",
    "\n   \n  ",
    "\n  \t",
    "\n \xc2\xa0",
    "\n  ;c\n  ",
};

std::string soup(std::mt19937_64& rng, const std::vector<std::string>& vocab, std::size_t pieces) {
    std::string s;
    for (std::size_t i = 0; i < pieces; ++i) {
        s += vocab[rng() % vocab.size()];
        s += kSeparators[rng() % kSeparators.size()];
    }
    return s;
}

// Pieces that lex without a finding that stops the run, so that long soups of
// them test whole runs rather than their first few tokens.
std::vector<std::string> clean_vocabulary() {
    std::vector<std::string> clean;
    for (const std::string& w : vocabulary()) {
        const LexOutput out = lex(w + " ");
        if (out.tokens) clean.push_back(w);
    }
    return clean;
}

TEST(LexerDifferential, EveryPieceAlone) {
    for (const std::string& w : vocabulary()) {
        check_source(w);
        check_source(w + " ");
        check_source("  " + w + "\n");
        check_source(w + w);
    }
}

TEST(LexerDifferential, EveryPieceFarFromTheEnd) {
    // Tokens that begin well before the end of the source are read by the
    // paths that skip the end checks: every piece and separator there.
    const std::string tail = " (" + std::string(40, ',') + ")";
    const std::vector<std::string> vocab = vocabulary();
    for (std::size_t i = 0; i < vocab.size(); ++i) {
        check_source(vocab[i] + tail);
        check_source(vocab[i] + " " + tail);
        check_source(vocab[i] + kSeparators[i % kSeparators.size()] + tail);
    }
}

TEST(LexerDifferential, TokenSoupsAndAllTheirPrefixes) {
    const std::vector<std::string> vocab = vocabulary();
    const std::vector<std::string> clean = clean_vocabulary();
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 400; ++round) {
        const std::string s = soup(rng, round % 2 ? clean : vocab, 40);
        check_source(s, 1 + rng() % 9);
        if (round % 25 == 0)
            for (std::size_t k = 0; k < s.size(); ++k) check_source(s.substr(0, k));
    }
}

TEST(LexerDifferential, MutatedSoups) {
    const std::vector<std::string> clean = clean_vocabulary();
    std::mt19937_64 rng(77);
    const std::string interesting = " \n\t;.%!\"\\+-0123456789aeEixXoObB_()[]{}<>,:=\xc2\xa0\xe2\x80\xa8\xff";
    for (int round = 0; round < 1500; ++round) {
        std::string s = soup(rng, clean, 25);
        for (int m = 0, count = 1 + static_cast<int>(rng() % 4); m < count && !s.empty(); ++m) {
            const std::size_t at = rng() % s.size();
            const char c = interesting[rng() % interesting.size()];
            switch (rng() % 3) {
                case 0: s[at] = c; break;
                case 1: s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), c); break;
                default: s.erase(at, 1 + rng() % 3); break;
            }
        }
        check_source(s, 1 + rng() % 5);
    }
}

TEST(LexerDifferential, RandomBytes) {
    std::mt19937_64 rng(5);
    const std::string alphabet = "  \n\ta_Z09.%!\";+-xe()[],:=\x80\xbf\xc2\xa0\xe2\x80\xa8\xcc\x81\xff";
    for (int round = 0; round < 2000; ++round) {
        std::string s(rng() % 40, '\0');
        for (char& c : s) c = rng() % 8 == 0 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        check_source(s);
    }
}

TEST(LexerDifferential, OneByteTokensOutgrowTheReservedRoom) {
    // `lex` reserves a token for every three bytes; these hold one per byte.
    check_source(std::string(10000, ','));
    check_source(std::string(9999, '%'));
    std::string mixed;
    for (int i = 0; i < 3000; ++i) mixed += "(%,1=\n"[i % 6];
    check_source(mixed);
}

TEST(LexerDifferential, ARealisticProgram) {
    std::string s;
    for (int f = 0; f < 40; ++f) {
        s += fmt::format("define i64 fn{}(%n: i64, %a: ptr, %b: ptr) {{\nentry:\n", f);
        s += "  %v0: ptr = alloca i64 16, align 8\n  %v1: i64 = imul.wrap %n, %n\n  %v2: fp64 = cast.sitofp %v1\n";
        s += "  jump head0\nhead0:\n  %v3: i64 = phi [i64 0, entry], [%v6, latch0]\n";
        s += fmt::format("  %v9: i64 = iadd.wrap %v3, i64 -{}\n  %v10: ptr = getelementptr i64, %v0, %v9\n", f * 37);
        s += "  %v11: i1 = icmp.eq %v9, %v9\n  %v12: fp64 = fmul %v2, fp64 0.875\n  ; a comment\n\n";
        s += "  store %v0, i32 0x1f, align 8, acquire\n  branch %v11, head0, exit0\nexit0:\n  ret %v9\n}\n\n";
    }
    check_source(s);
    check_source(s, 3);
    // The last lines of a function, each cut short.
    const std::string one = s.substr(0, s.find("\n\ndefine") + 2);
    for (std::size_t k = one.size() - 200; k < one.size(); ++k) check_source(one.substr(0, k));
}

}  // namespace
}  // namespace keinstr::test
