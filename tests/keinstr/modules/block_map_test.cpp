#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keinstr/ir/block_map.hpp"

namespace keinstr {
namespace {

using Map = LabelMap<std::string>;

std::vector<std::uint32_t> keys(const Map& m) {
    std::vector<std::uint32_t> out;
    for (const auto& [label, value] : m) out.push_back(label.id);
    return out;
}

TEST(LabelMap, KeepsLabelOrderWhateverTheInsertionOrder) {
    Map m;
    EXPECT_TRUE(m.try_emplace(Label{5}, "five").second);
    EXPECT_TRUE(m.try_emplace(Label{1}, "one").second);
    EXPECT_TRUE(m.try_emplace(Label{9}, "nine").second);
    EXPECT_TRUE(m.try_emplace(Label{3}, "three").second);
    // Present: nothing changes.
    const auto [it, added] = m.try_emplace(Label{5}, "other");
    EXPECT_FALSE(added);
    EXPECT_EQ(it->second, "five");
    EXPECT_EQ(keys(m), (std::vector<std::uint32_t>{1, 3, 5, 9}));

    m.insert_or_assign(Label{3}, "THREE");
    m[Label{0}] = "zero";
    EXPECT_EQ(m.at(Label{3}), "THREE");
    EXPECT_EQ(keys(m), (std::vector<std::uint32_t>{0, 1, 3, 5, 9}));
    EXPECT_EQ(m.erase(Label{1}), 1u);
    EXPECT_EQ(m.erase(Label{1}), 0u);
    EXPECT_EQ(keys(m), (std::vector<std::uint32_t>{0, 3, 5, 9}));
}

TEST(LabelMap, LooksUpDenseAndSparseLabels) {
    // Dense labels sit at their own index; with gaps the search takes over, and a
    // label whose index is occupied by another label is still found.
    Map m = Map::from_entries({{Label{0}, "a"}, {Label{1}, "b"}, {Label{4}, "c"}, {Label{2}, "d"}, {Label{100}, "e"}});
    EXPECT_EQ(keys(m), (std::vector<std::uint32_t>{0, 1, 2, 4, 100}));
    EXPECT_EQ(m.at(Label{2}), "d");
    EXPECT_EQ(m.at(Label{4}), "c");
    EXPECT_EQ(m.at(Label{100}), "e");
    EXPECT_FALSE(m.contains(Label{3}));
    EXPECT_FALSE(m.contains(Label{99}));
    EXPECT_FALSE(m.contains(Label{0xFFFF'FFFF}));
    EXPECT_EQ(m.find(Label{3}), m.end());
    EXPECT_THROW((void)m.at(Label{3}), std::out_of_range);
    EXPECT_TRUE(Map{}.find(Label{0}) == Map{}.end());
}

TEST(LabelMap, FromEntriesKeepsTheLastOfEqualLabels) {
    Map m = Map::from_entries(
        {{Label{7}, "first"}, {Label{2}, "x"}, {Label{7}, "second"}, {Label{2}, "y"}, {Label{7}, "third"}});
    EXPECT_EQ(keys(m), (std::vector<std::uint32_t>{2, 7}));
    EXPECT_EQ(m.at(Label{2}), "y");
    EXPECT_EQ(m.at(Label{7}), "third");

    // Many labels in descending order: one sort, not one shift per entry.
    Map::container_type entries;
    for (std::uint32_t i = 200'000; i-- > 0;) entries.emplace_back(Label{i}, std::string());
    const Map big = Map::from_entries(std::move(entries));
    ASSERT_EQ(big.size(), 200'000u);
    EXPECT_EQ(big.begin()->first, Label{0});
    EXPECT_TRUE(big.contains(Label{123'456}));
}

TEST(LabelMap, ComparesByContent) {
    Map a = Map::from_entries({{Label{1}, "x"}, {Label{0}, "y"}});
    Map b;
    b[Label{0}] = "y";
    b[Label{1}] = "x";
    EXPECT_EQ(a, b);
    b[Label{1}] = "z";
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace keinstr
