#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kecore/base/module_key.hpp"
#include "kecore/utils/slot_map.hpp"

namespace kecore {
namespace {

TEST(ModuleKey, DebugForms) {
    EXPECT_EQ(ModuleKey(1, 1).debug(), "ModuleKey(1v1)");
    EXPECT_EQ(ModuleKey(42, 3).debug(), "ModuleKey(42v3)");
    EXPECT_EQ(ModuleKey().debug(), "ModuleKey(null)");
    EXPECT_EQ(ModuleKey::null(), ModuleKey());
    EXPECT_TRUE(ModuleKey().is_null());
    EXPECT_FALSE(ModuleKey(1, 1).is_null());
}

TEST(SlotMap, FirstKeyIsOneAfterTheReservedSlot) {
    SlotMap<ModuleKey, std::string> map;
    EXPECT_EQ(map.size(), 0u);
    auto first = map.insert("a");
    auto second = map.insert_with_key([](const ModuleKey& key) { return key.debug(); });
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->debug(), "ModuleKey(1v1)");
    EXPECT_EQ(second->debug(), "ModuleKey(2v1)");
    EXPECT_EQ(map.size(), 2u);
    ASSERT_NE(map.get(*second), nullptr);
    EXPECT_EQ(*map.get(*second), "ModuleKey(2v1)");  // the value learnt its own key
    EXPECT_EQ(*map.get(*first), "a");
}

TEST(SlotMap, KeysNotIssuedFindNothing) {
    SlotMap<ModuleKey, int> map;
    ASSERT_TRUE(map.insert(7));
    EXPECT_EQ(map.get(ModuleKey(0, 0)), nullptr);  // the reserved slot
    EXPECT_EQ(map.get(ModuleKey(1, 3)), nullptr);  // wrong version
    EXPECT_EQ(map.get(ModuleKey(2, 1)), nullptr);  // beyond the end
    EXPECT_EQ(map.get(ModuleKey()), nullptr);      // null
}

TEST(SlotMap, FullMapRefusesWithoutMakingTheValue) {
    // Three slots: the reserved one and two values.
    SlotMap<ModuleKey, int, 3> map;
    ASSERT_TRUE(map.insert(1));
    ASSERT_TRUE(map.insert(2));
    bool made = false;
    auto third = map.insert_with_key([&](const ModuleKey&) {
        made = true;
        return 3;
    });
    ASSERT_FALSE(third);
    EXPECT_EQ(SlotMapFull::kText, "SlotMap is full");
    EXPECT_FALSE(made);
    EXPECT_EQ(map.size(), 2u);
}

TEST(SlotMap, ClearDestroysValuesAndNeverReissuesKeys) {
    SlotMap<ModuleKey, std::shared_ptr<int>> map;
    auto value = std::make_shared<int>(5);
    auto key = map.insert(value);
    ASSERT_TRUE(key);
    EXPECT_EQ(value.use_count(), 2);
    map.clear();
    EXPECT_EQ(value.use_count(), 1);
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.get(*key), nullptr);
    auto next = map.insert(value);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->debug(), "ModuleKey(2v1)");
}

}  // namespace
}  // namespace kecore
