#include "keinstr/text/numeral.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "keinstr/text/lexer.hpp"
#include "lex_helpers.hpp"

namespace keinstr {
namespace {

using test::check;
using test::error_lines;
using test::LexCase;
using test::token_lines;

const std::string kDec15 = "Decimal(BigDecimal(sign=Plus, scale=1, digits=[15]))";

TEST(Numerals, FormsInOrderFirstMatchWins) {
    check({
        {"12ab", {"Number(12)@0-2", "Identifier(\"ab\", [])@2-4"}, {}},
        {"1,2", {"Number(1)@0-1", "Comma@1-2", "Number(2)@2-3"}, {}},
        {"0xg", {"Number(0)@0-1", "Identifier(\"xg\", [])@1-3"}, {}},
        {"0x", {"Number(0)@0-1", "Identifier(\"x\", [])@1-2"}, {}},
        {"0o9", {"Number(0)@0-1", "Identifier(\"o9\", [])@1-3"}, {}},
        {"0b102", {"Number(2)@0-4", "Number(2)@4-5"}, {}},
        {"0x1g", {"Number(1)@0-3", "Identifier(\"g\", [])@3-4"}, {}},
        {"1.5e", {kDec15 + "@0-3", "Identifier(\"e\", [])@3-4"}, {}},
        {"1.5e+", {}, {"5-5: found end of input expected '0'"}},
        {"1e", {"Number(1)@0-1", "Identifier(\"e\", [])@1-2"}, {}},
        {"1e5x", {"Decimal(BigDecimal(sign=Plus, scale=-5, digits=[1]))@0-3", "Identifier(\"x\", [])@3-4"}, {}},
        {"a-1", {"Identifier(\"a\", [])@0-1", "Number(-1)@1-3"}, {}},
        {"-0x1F", {"Number(-31)@0-5"}, {}},
        {"+7", {"Number(7)@0-2"}, {}},
        {"007", {"Number(7)@0-3"}, {}},
        {"0x00ff", {"Number(255)@0-6"}, {}},
        {"0XfF 0O17 0B11", {"Number(255)@0-5", "Number(15)@5-10", "Number(3)@10-14"}, {}},
        {"-0 -0x0", {"Number(0)@0-3", "Number(0)@3-7"}, {}},
        {"-0x10 -0b1 +5", {"Number(-16)@0-6", "Number(-1)@6-11", "Number(5)@11-13"}, {}},
        {"0x1e5", {"Number(485)@0-5"}, {}},
        {"0e5", {"Decimal(BigDecimal(sign=NoSign, scale=-5, digits=[]))@0-3"}, {}},
        {"0x1.5", {}, {"3-4: found '.' expected " + std::string(test::kAnyTokenOrEnd)}},
        {"i32", {"IType(IType { num_bits: 32 })@0-3"}, {}},
    });
}

TEST(Numerals, DecimalValuesKeepDigitsAndScale) {
    check({
        {"1.5", {kDec15 + "@0-3"}, {}},
        {"2.50", {"Decimal(BigDecimal(sign=Plus, scale=2, digits=[250]))@0-4"}, {}},
        {"1e5", {"Decimal(BigDecimal(sign=Plus, scale=-5, digits=[1]))@0-3"}, {}},
        {"1E+5", {"Decimal(BigDecimal(sign=Plus, scale=-5, digits=[1]))@0-4"}, {}},
        {"1e-5", {"Decimal(BigDecimal(sign=Plus, scale=5, digits=[1]))@0-4"}, {}},
        {"1.5e-3", {"Decimal(BigDecimal(sign=Plus, scale=4, digits=[15]))@0-6"}, {}},
        {"2E10", {"Decimal(BigDecimal(sign=Plus, scale=-10, digits=[2]))@0-4"}, {}},
        {"-0.5", {"Decimal(BigDecimal(sign=Minus, scale=1, digits=[5]))@0-4"}, {}},
        {"-0.0", {"Decimal(BigDecimal(sign=NoSign, scale=1, digits=[]))@0-4"}, {}},
        {"+1.25E2", {"Decimal(BigDecimal(sign=Plus, scale=0, digits=[125]))@0-7"}, {}},
        {"18446744073709551616.0", {"Decimal(BigDecimal(sign=Plus, scale=1, digits=[0, 10]))@0-22"}, {}},
    });
    const LexOutput out = lex("2.50");
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.tokens->tokens[0].to_string(), "2.50");
}

TEST(Numerals, NotNumerals) {
    const std::string dot_at_1 = "1-2: found '.' expected " + std::string(test::kAnyTokenOrEnd);
    check({
        {"1.", {}, {dot_at_1}},
        {".5", {}, {"0-1: found '.' expected " + std::string(test::kAnyTokenOrEnd)}},
        // A sign must be followed by a digit; the furthest failure is right after it.
        {"- 5", {}, {"1-2: found ' ' expected '0'"}},
        {"--5", {}, {"1-2: found '-' expected '0'"}},
        {"+", {}, {"1-1: found end of input expected '0'"}},
        {"x -", {}, {"3-3: found end of input expected '0'"}},
    });
}

TEST(Numerals, IntegersOfAnySize) {
    std::string digits(5000, '0');
    std::mt19937 rng(7);
    for (char& c : digits) c = static_cast<char>('0' + rng() % 10);
    digits[0] = '9';
    const BigInt expected(digits);

    const LexOutput out = lex("-" + digits + " 18446744073709551616 0x" + std::string(40, 'f') + " 0b1" +
                              std::string(100, '0') + " 0o7" + std::string(30, '7'));
    ASSERT_TRUE(out.ok());
    const auto& t = out.tokens->tokens;
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].number(), -expected);
    EXPECT_EQ(t[1].number(), BigInt(1) << 64);
    EXPECT_EQ(t[1].to_string(), "18446744073709551616");
    EXPECT_EQ(t[2].number(), (BigInt(1) << 160) - 1);
    EXPECT_EQ(t[3].number(), BigInt(1) << 100);
    EXPECT_EQ(t[4].number(), (BigInt(1) << 93) - 1);

    // The subquadratic conversion agrees with the library's own on long runs,
    // and on runs of zeros.
    for (std::size_t len : {1u, 18u, 19u, 20u, 37u, 38u, 39u, 607u, 608u, 609u, 1300u, 4999u}) {
        SCOPED_TRACE(len);
        const std::string d = digits.substr(0, len);
        EXPECT_EQ(decimal_digits_value(d), BigInt(d));
    }
    EXPECT_EQ(decimal_digits_value(std::string(700, '0') + "12"), BigInt(12));
    EXPECT_EQ(decimal_digits_value(std::string(40, '0')), BigInt(0));
}

TEST(Numerals, HugeDecimalLiteralsRenderFromTheirOwnDigits) {
    // Rendering must match the value's decimal text exactly (sign, no leading
    // zeros), for base-10 literals taken from the source and for other radices.
    const std::string digits = "98765432109876543210987654321";
    const LexOutput out = lex("-000" + digits + " +00" + digits + " 0x" + std::string(30, 'f'));
    ASSERT_TRUE(out.ok());
    const auto& t = out.tokens->tokens;
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].to_string(), "-" + digits);
    EXPECT_EQ(t[0].to_string(), t[0].number().str());
    EXPECT_EQ(t[1].to_string(), digits);
    EXPECT_EQ(t[2].to_string(), t[2].number().str());

    // A million-digit literal renders in linear time (the value's own
    // conversion back to decimal would take about a minute).
    const std::string million = "7" + std::string(999'999, '3');
    const LexOutput big = lex(million);
    ASSERT_TRUE(big.ok());
    EXPECT_EQ(big.tokens->tokens[0].to_string(), million);
}

TEST(Numerals, SixtyFourBitBoundaries) {
    const LexOutput out =
        lex("9223372036854775807 -9223372036854775808 9223372036854775808 0x7fffffffffffffff "
            "0x8000000000000000 0o777777777777777777777 0o1777777777777777777777");
    ASSERT_TRUE(out.ok());
    const auto& t = out.tokens->tokens;
    EXPECT_EQ(t[0].number_i64(), INT64_MAX);
    EXPECT_EQ(t[1].number_i64(), INT64_MIN);
    EXPECT_FALSE(t[2].number_i64().has_value());
    EXPECT_EQ(t[2].number(), BigInt("9223372036854775808"));
    EXPECT_EQ(t[3].number_i64(), INT64_MAX);
    EXPECT_EQ(t[4].number(), BigInt("9223372036854775808"));
    EXPECT_EQ(t[5].number(), (BigInt(1) << 63) - 1);
    EXPECT_EQ(t[6].number(), (BigInt(1) << 64) - 1);
}

TEST(Numerals, DecimalScaleOverflowIsAFinding) {
    for (const std::string literal : {"1e99999999999999999999", "1.5e-9223372036854775808", "1e-9223372036854775809",
                                      "-1.0e-9223372036854775807"}) {
        SCOPED_TRACE(literal);
        const std::string src = "x " + literal + " y";
        const LexOutput out = lex(src);
        ASSERT_TRUE(out.tokens.has_value());
        const auto lines = token_lines(out);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[1],
                  "Decimal(BigDecimal(sign=NoSign, scale=0, digits=[]))@2-" + std::to_string(2 + literal.size() + 1));
        ASSERT_EQ(out.errors.size(), 1u);
        EXPECT_EQ(out.errors[0].span, (Span{2, 2 + literal.size()}));
        const std::string prefix = "invalid decimal literal '" + literal + "': ";
        EXPECT_EQ(out.errors[0].message.substr(0, prefix.size()), prefix);
        EXPECT_GT(out.errors[0].message.size(), prefix.size());
    }
    // The extreme exponents whose scale still fits are fine.
    const LexOutput ok = lex("1e9223372036854775807 1e-9223372036854775807 1.0e-9223372036854775806");
    EXPECT_TRUE(ok.ok());
    EXPECT_EQ(ok.tokens->tokens[0].decimal().scale(), -INT64_MAX);
    EXPECT_EQ(ok.tokens->tokens[1].decimal().scale(), INT64_MAX);
    EXPECT_EQ(ok.tokens->tokens[2].decimal().scale(), INT64_MAX);
}

// Only the scale (digits after the point minus the exponent) has to fit 64
// bits: an exponent beyond them is fine while the fraction brings the scale back.
TEST(Numerals, ScaleLimitsNotExponentLimits) {
    struct Case {
        std::string literal;
        std::optional<std::int64_t> scale;  // none: refused with `reason`
        const char* mantissa = "";
        const char* reason = "";
    };
    const std::vector<Case> cases = {
        {"1.5e9223372036854775808", INT64_MIN + 1, "15"},
        {"1e9223372036854775808", INT64_MIN, "1"},
        {"-1.0e9223372036854775809", INT64_MIN, "-10"},
        {"1e0009223372036854775808", INT64_MIN, "1"},
        {"1234567890123456789.5e9223372036854775808", INT64_MIN + 1, "12345678901234567895"},
        {"1e-" + std::string(40, '0') + "5", 5, "1"},
        {"1e-9223372036854775807", INT64_MAX, "1"},
        {"1e-9223372036854775808", std::nullopt, "", "Exponent overflow when parsing '1e-9223372036854775808'"},
        {"1.5e-9223372036854775807", std::nullopt, "", "Exponent overflow when parsing '1.5e-9223372036854775807'"},
        {"1e9223372036854775809", std::nullopt, "", "number too large to fit in target type"},
        {"1.5e9223372036854775810", std::nullopt, "", "number too large to fit in target type"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.literal);
        const LexOutput out = lex(c.literal);
        ASSERT_TRUE(out.tokens.has_value());
        ASSERT_EQ(out.tokens->tokens.size(), 1u);
        const Decimal& d = out.tokens->tokens[0].decimal();
        const auto general = Decimal::parse(c.literal);
        if (!c.scale) {
            ASSERT_EQ(out.errors.size(), 1u);
            EXPECT_EQ(out.errors[0].message, "invalid decimal literal '" + c.literal + "': " + c.reason);
            EXPECT_TRUE(d.is_zero());
            ASSERT_FALSE(general.has_value());
            EXPECT_EQ(general.error(), c.reason);
            continue;
        }
        EXPECT_TRUE(out.errors.empty());
        EXPECT_EQ(d.scale(), *c.scale);
        EXPECT_EQ(d.mantissa(), BigInt(c.mantissa));
        ASSERT_TRUE(general.has_value()) << general.error();
        EXPECT_EQ(general->scale(), *c.scale);
        EXPECT_EQ(general->mantissa(), BigInt(c.mantissa));
        // The printed form reads back as the same value.
        const auto reread = Decimal::parse(d.to_string());
        ASSERT_TRUE(reread.has_value()) << d.to_string();
        EXPECT_EQ(*reread, d);
    }
}

TEST(Numerals, DecimalConversionAgreesWithTheGeneralParser) {
    // Short literals take a fast path; it must give the general parser's digits and scale.
    for (const std::string& lit :
         std::vector<std::string>{"0.0",
                                  "-0.0",
                                  "1.5",
                                  "+1.5",
                                  "-2.50",
                                  "1e5",
                                  "1E+5",
                                  "1e-5",
                                  "123456789012345678.5",
                                  "12345678901234567.8",
                                  "1234567890123456789.0",
                                  "1.5e999999999999999999",
                                  "1.5e-99999999999999999",
                                  "1e9223372036854775807",
                                  "1e-9223372036854775807",
                                  "1.0e-9223372036854775806",
                                  "-0.000e-0",
                                  "99999999999999999.9e17",
                                  "1.5e-9223372036854775808",
                                  "-1234567890123456789012345678901234567890.0987654321e-12",
                                  std::string(3000, '7') + "." + std::string(2000, '3') + "E+4000",
                                  "1" + std::string(40, '0') + "e-9223372036854775807",
                                  "0." + std::string(30, '0') + "e9223372036854775807",
                                  "1.0e-9223372036854775807"}) {
        SCOPED_TRACE(lit);
        const auto ours = decimal_literal_value(lit);
        const auto general = Decimal::parse(lit);
        ASSERT_EQ(ours.has_value(), general.has_value());
        if (ours) {
            EXPECT_EQ(ours->mantissa(), general->mantissa());
            EXPECT_EQ(ours->scale(), general->scale());
        } else {
            EXPECT_EQ(ours.error(), "invalid decimal literal '" + lit + "': " + general.error());
        }
    }
    // Texts that are no decimal literal are left to the general parser.
    for (const std::string bad : {"1.2.3", "1e", "1ex", "e5", "1x", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(decimal_literal_value(bad).has_value(), Decimal::parse(bad).has_value());
    }
}

TEST(Numerals, ConversionApi) {
    EXPECT_EQ(match_numeral("x12", 1)->form, NumeralForm::DecimalInteger);
    EXPECT_EQ(match_numeral("x12", 1)->end, 3u);
    EXPECT_FALSE(match_numeral("x12", 0).has_value());
    EXPECT_EQ(match_numeral("1.5e3", 0)->form, NumeralForm::Fraction);
    EXPECT_EQ(match_numeral("15e3", 0)->form, NumeralForm::Exponent);
    EXPECT_EQ(match_numeral("-0x1", 0)->form, NumeralForm::Hexadecimal);
    EXPECT_EQ(match_numeral("0o1", 0)->form, NumeralForm::Octal);
    EXPECT_EQ(match_numeral("0b1", 0)->form, NumeralForm::Binary);

    EXPECT_EQ(*integer_literal_value("-0x1F", NumeralForm::Hexadecimal), BigInt(-31));
    // Texts that no form would match give the form's message.
    EXPECT_EQ(integer_literal_value("0x", NumeralForm::Hexadecimal).error(), "invalid base 16 integer '0x'");
    EXPECT_EQ(integer_literal_value("0o8", NumeralForm::Octal).error(), "invalid base 8 integer '0o8'");
    EXPECT_EQ(integer_literal_value("-0b2", NumeralForm::Binary).error(), "invalid base 2 integer '-0b2'");
    EXPECT_EQ(integer_literal_value("1a", NumeralForm::DecimalInteger).error(), "invalid base 10 integer '1a'");

    TokenStore store;
    std::optional<std::string> error;
    const Token t = numeral_token("+0x", NumeralForm::Hexadecimal, store, error);
    EXPECT_EQ(error, "invalid base 16 integer '+0x'");
    EXPECT_EQ(t, Token::number(0));
    error.reset();
    EXPECT_EQ(numeral_token("-12", NumeralForm::DecimalInteger, store, error), Token::number(-12));
    EXPECT_FALSE(error.has_value());
}

}  // namespace
}  // namespace keinstr
