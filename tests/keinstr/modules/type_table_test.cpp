#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "keinstr/ir/type_table.hpp"

namespace keinstr {
namespace {

TEST(TypeTable, SameTypeComparesEveryByte) {
    Typeref a;
    a.uuid.bytes.fill(0x5A);
    EXPECT_TRUE(same_type(a, a));
    for (std::size_t i = 0; i < 16; ++i) {
        Typeref b = a;
        b.uuid.bytes[i] ^= 0x01;
        EXPECT_FALSE(same_type(a, b)) << i;
        EXPECT_EQ(same_type(a, b), a == b);
    }
    EXPECT_TRUE(same_type(Typeref::type_variable(3), Typeref::type_variable(3)));
}

// Handles that differ in one byte only (as the time-based handles of one registry often
// do), or are random: the table grows from empty and agrees with an ordered map.
TEST(TypeTable, AgreesWithAMapWhileGrowing) {
    std::mt19937_64 rng(11);
    std::vector<Typeref> keys;
    for (int i = 0; i < 300; ++i) {
        Typeref near;
        near.uuid.bytes.fill(0xC3);
        near.uuid.bytes[15] = static_cast<std::uint8_t>(i);
        near.uuid.bytes[14] = static_cast<std::uint8_t>(i >> 8);
        keys.push_back(near);
        Typeref random;
        for (auto& b : random.uuid.bytes) b = static_cast<std::uint8_t>(rng());
        keys.push_back(random);
    }
    TypeTable<int> table;
    std::map<Typeref, int> reference;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(table.find(keys[i]), nullptr);
        EXPECT_EQ(table.try_emplace(keys[i], static_cast<int>(i)), static_cast<int>(i));
        // A key offered again keeps its first value.
        EXPECT_EQ(table.try_emplace(keys[i], -1), static_cast<int>(i));
        reference.emplace(keys[i], static_cast<int>(i));
    }
    EXPECT_EQ(table.size(), reference.size());
    for (const auto& [key, value] : reference) {
        const int* found = table.find(key);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(*found, value);
    }
    EXPECT_EQ(TypeTable<int>(100).find(keys[0]), nullptr);
}

}  // namespace
}  // namespace keinstr
