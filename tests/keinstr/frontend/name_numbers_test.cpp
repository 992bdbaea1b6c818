// The register and label numbering table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "keinstr/text/name_numbers.hpp"

namespace keinstr::test {
namespace {

TEST(NameNumbers, NumbersByFirstRequestAndAgainFromZeroAfterClear) {
    NameNumbers n;
    std::vector<std::uint32_t> got;
    for (const char* name : {"a", "b", "a", "c", "", "A"}) got.push_back(n.number(name));
    EXPECT_EQ(got, (std::vector<std::uint32_t>{0, 1, 0, 2, 3, 4}));
    EXPECT_EQ(n.size(), 5u);
    EXPECT_EQ(n.find("c"), 2u);
    EXPECT_FALSE(n.find("d").has_value());
    n.clear();
    EXPECT_TRUE(n.empty());
    EXPECT_FALSE(n.contains("a"));
    EXPECT_EQ(n.number("c"), 0u);
    EXPECT_EQ(n.number("a"), 1u);
}

TEST(NameNumbers, ManyNamesThenFewStayConsistent) {
    NameNumbers n;
    // Long names (stored outside the string object) and ones sharing long prefixes.
    const auto name = [](int i) { return fmt::format("register_with_a_long_common_prefix_{}", i); };
    for (int round = 0; round < 3; ++round) {
        const int count = round == 1 ? 20000 : 100;
        for (int i = 0; i < count; ++i) ASSERT_EQ(n.number(name(i)), static_cast<std::uint32_t>(i));
        for (int i = count - 1; i >= 0; --i) ASSERT_EQ(n.number(name(i)), static_cast<std::uint32_t>(i));
        EXPECT_EQ(n.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(n.name(7), name(7));
        EXPECT_FALSE(n.contains(name(count)));
        n.clear();
        EXPECT_FALSE(n.contains(name(0)));
    }
}

TEST(NameNumbers, EqualWhenTheSameNamesHaveTheSameNumbers) {
    NameNumbers a{"x", "y"};
    NameNumbers b;
    b.number("x");
    b.number("y");
    EXPECT_EQ(a, b);
    EXPECT_NE(a, (NameNumbers{"y", "x"}));
    EXPECT_EQ((NameNumbers{"x", "x", "y"}), a);
}

}  // namespace
}  // namespace keinstr::test
