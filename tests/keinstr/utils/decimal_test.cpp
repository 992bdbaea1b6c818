#include <gtest/gtest.h>

#include "keinstr/utils/decimal.hpp"

using namespace keinstr;

TEST(Decimal, ParseKeepsScaleAndPrints) {
    struct Case {
        const char* text;
        const char* mantissa;
        std::int64_t scale;
        const char* printed;
    };
    const Case cases[] = {
        {"2.5", "25", 1, "2.5"},
        {"2.50", "250", 2, "2.50"},
        {"-0.005", "-5", 3, "-0.005"},
        {"+7.0", "70", 1, "7.0"},
        {"1e3", "1", -3, "1000"},
        {"1.5E+2", "15", -1, "150"},
        {"12e-4", "12", 4, "0.0012"},
        {"0.0", "0", 1, "0.0"},
        {"-0.0", "0", 1, "0.0"},  // no negative zero
        {"0e5", "0", -5, "0"},
        {"123456789012345678901234567890.5", "1234567890123456789012345678905", 1, "123456789012345678901234567890.5"},
        {"5.", "5", 0, "5"},
        {".5", "5", 1, "0.5"},
    };
    for (const auto& c : cases) {
        const auto d = Decimal::parse(c.text);
        ASSERT_TRUE(d.has_value()) << c.text << ": " << d.error();
        EXPECT_EQ(d->mantissa().str(), c.mantissa) << c.text;
        EXPECT_EQ(d->scale(), c.scale) << c.text;
        EXPECT_EQ(d->to_string(), c.printed) << c.text;
    }
}

TEST(Decimal, ParseFailuresGiveReasons) {
    struct Case {
        const char* text;
        std::string reason;
    };
    const Case cases[] = {
        {"", "Failed to parse empty string"},
        {"1.5e", "cannot parse integer from empty string"},
        {"1.5ex", "invalid digit found in string"},
        {"1.2.3", "invalid digit found in string"},
        {"e5", "cannot parse integer from empty string"},
        {"1e9223372036854775809", "number too large to fit in target type"},
        {"1e-9223372036854775809", "number too small to fit in target type"},
        // 1 fractional digit minus the smallest exponent overflows the scale.
        {"1.5e-9223372036854775808", ""},
    };
    for (const auto& c : cases) {
        const auto d = Decimal::parse(c.text);
        ASSERT_FALSE(d.has_value()) << c.text;
        const std::string expected =
            c.reason.empty() ? "Exponent overflow when parsing '" + std::string(c.text) + "'" : c.reason;
        EXPECT_EQ(d.error(), expected) << c.text;
    }
    // The extremes that still fit.
    EXPECT_EQ(Decimal::parse("1e-9223372036854775807")->scale(), INT64_MAX);
    EXPECT_FALSE(Decimal::parse("1e-9223372036854775808").has_value());
    EXPECT_EQ(Decimal::parse("1e9223372036854775807")->scale(), -INT64_MAX);
    EXPECT_EQ(Decimal::parse("1e9223372036854775808")->scale(), INT64_MIN);
}

TEST(Decimal, NumericEquality) {
    const auto d = [](const char* s) { return *Decimal::parse(s); };
    EXPECT_EQ(d("2.5"), d("2.50"));
    EXPECT_EQ(d("2.5"), d("25e-1"));
    EXPECT_EQ(d("100"), d("1e2"));
    EXPECT_EQ(d("0.0"), d("-0"));
    EXPECT_EQ(d("0"), d("0e-100"));
    EXPECT_NE(d("2.5"), d("-2.5"));
    EXPECT_NE(d("2.5"), d("2.05"));
    EXPECT_NE(d("1"), d("10"));
    // Scales far apart compare without expanding the value.
    EXPECT_NE(Decimal(BigInt(1), INT64_MAX), Decimal(BigInt(1), INT64_MIN));
    EXPECT_EQ(Decimal(BigInt(10), INT64_MIN + 1), Decimal(BigInt(1), INT64_MIN));
}

TEST(Decimal, FarExponentsPrintExponentially) {
    // Up to the padding limit the plain form is used.
    const std::string plain = Decimal(BigInt(1), -Decimal::kPlainPaddingLimit).to_string();
    EXPECT_EQ(plain.size(), static_cast<std::size_t>(Decimal::kPlainPaddingLimit) + 1);
    EXPECT_EQ(Decimal(BigInt(1), -(Decimal::kPlainPaddingLimit + 1)).to_string(), "1E+1001");
    EXPECT_EQ(Decimal(BigInt(-125), 2003).to_string(), "-1.25E-2001");
    EXPECT_EQ(Decimal(BigInt(7), INT64_MAX).to_string(), "7E-9223372036854775807");
    EXPECT_EQ(Decimal(BigInt(42), INT64_MIN).to_string(), "4.2E+9223372036854775809");
    EXPECT_EQ(Decimal(BigInt(0), INT64_MIN).to_string(), "0");
    EXPECT_EQ(fmt::format("{}", Decimal(BigInt(250), 2)), "2.50");
    EXPECT_EQ(Decimal(BigInt(250), 2).debug(), "Decimal(\"2.50\")");
}
