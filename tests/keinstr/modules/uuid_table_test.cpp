#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>

#include "keinstr/utils/uuid_table.hpp"

namespace keinstr {
namespace {

// UUIDs that differ in one byte only (as time-based handles of one registry often do),
// or are random: the table grows from empty and agrees with an ordered map throughout.
TEST(UuidTable, AgreesWithAMapWhileGrowing) {
    std::mt19937_64 rng(7);
    std::vector<Uuid> keys;
    for (int i = 0; i < 300; ++i) {
        Uuid near;
        near.bytes.fill(0xAB);
        near.bytes[5] = static_cast<std::uint8_t>(i);
        near.bytes[6] = static_cast<std::uint8_t>(i >> 8);
        keys.push_back(near);
        Uuid random;
        for (auto& b : random.bytes) b = static_cast<std::uint8_t>(rng());
        keys.push_back(random);
    }
    UuidTable<int> table;
    std::map<Uuid, int> reference;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const int value = static_cast<int>(i);
        // Every key is offered twice: the first value stays, unless assigned.
        auto [v, inserted] = table.try_emplace(keys[i], value);
        EXPECT_TRUE(inserted);
        EXPECT_EQ(*v, value);
        EXPECT_FALSE(table.try_emplace(keys[i], -1).second);
        reference.emplace(keys[i], value);
        if (i % 3 == 0) {
            table.insert_or_assign(keys[i], value + 1000);
            reference[keys[i]] = value + 1000;
        }
    }
    EXPECT_EQ(table.size(), reference.size());
    for (const auto& [key, value] : reference) {
        const int* found = table.find(key);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(*found, value);
    }
    Uuid absent;
    absent.bytes.fill(0xAB);
    absent.bytes[5] = 0xFF;
    absent.bytes[6] = 0xFF;
    EXPECT_FALSE(table.contains(absent));
    EXPECT_FALSE(UuidTable<int>().contains(absent));
    EXPECT_TRUE(UuidTable<int>(100).empty());
}

}  // namespace
}  // namespace keinstr
