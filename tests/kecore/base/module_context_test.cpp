#include <gtest/gtest.h>

#include <memory>

#include "kecore/base/api.hpp"
#include "kecore/base/instance_context.hpp"
#include "kecore/base/module_context.hpp"

namespace kecore {
namespace {

std::shared_ptr<ModuleContext> make_context(const std::shared_ptr<InstanceContext>& instance, ModuleKey key,
                                            keinstr::Module module) {
    FunctionContextMap contexts;
    for (const auto& [id, function] : module.functions) {
        keinstr::FunctionAnalysis analysis = keinstr::Function::analyze(function);
        contexts.insert(id, FunctionContext{function, std::move(analysis), std::make_unique<AttachedFunctions>(), id});
    }
    return std::make_shared<ModuleContext>(key, instance->new_module_uuid(), instance, std::move(module),
                                           std::move(contexts), TheoremLibrary());
}

TEST(ModuleSlots, ContextsLiveInTheInstanceAndHoldItWeakly) {
    auto created = create_instance(InstanceCreateInfo{{{}, "a", {}, "e"}, {}, 0x01020304, {}});
    ASSERT_TRUE(created);
    std::shared_ptr<InstanceContext> instance = *created;

    keinstr::Module module;
    module.insert_function(keinstr::Function::default_function());
    const keinstr::Uuid function_id = module.functions.begin()->first;

    std::shared_ptr<ModuleContext> kept;
    std::vector<ModuleKey> keys;
    for (int i = 0; i < 2; ++i) {
        keinstr::ExclusiveGuard guard(instance->modules_lock);
        auto key = instance->modules.insert_with_key(
            [&](const ModuleKey& k) { return make_context(instance, k, i == 0 ? module : keinstr::Module()); });
        ASSERT_TRUE(key);
        keys.push_back(*key);
    }
    EXPECT_EQ(keys[0].debug(), "ModuleKey(1v1)");
    EXPECT_EQ(keys[1].debug(), "ModuleKey(2v1)");
    kept = *instance->modules.get(keys[0]);

    EXPECT_EQ(kept->key, keys[0]);
    EXPECT_EQ(kept->uuid.version(), 6);
    // The node id sits in the last six bytes: node_id little-endian, then zeros.
    EXPECT_EQ(kept->uuid.bytes[10], 0x04);
    EXPECT_EQ(kept->uuid.bytes[13], 0x01);
    EXPECT_EQ(kept->uuid.bytes[15], 0x00);
    EXPECT_NE(kept->uuid, (*instance->modules.get(keys[1]))->uuid);
    EXPECT_EQ(kept->theorems.size(), 0u);
    EXPECT_EQ(kept->function_contexts.size(), 1u);
    EXPECT_TRUE(kept->function_contexts.with(function_id, [&](const FunctionContext& fc) {
        EXPECT_EQ(fc.uuid, function_id);
        EXPECT_EQ(fc.function, module.functions.begin()->second);
        EXPECT_TRUE(fc.attached->functions.empty());
    }));
    EXPECT_EQ(kept->instance.lock(), instance);

    instance.reset();
    created->reset();
    // The instance is gone; the context kept here no longer reaches it.
    EXPECT_TRUE(kept->instance.expired());
}

}  // namespace
}  // namespace kecore
