#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "compiler_fixture.hpp"
#include "kecore/base/module_context.hpp"
#include "kecore/compiler/compile.hpp"
#include "kecore/compiler/load.hpp"
#include "kecore/compiler/storage.hpp"

namespace kecore {
namespace {

using test::Bytes;
using test::Capture;

// The key and context most recently stored under `key`.
std::shared_ptr<ModuleContext> context_of(InstanceContext& instance, ModuleKey key) {
    keinstr::SharedGuard guard(instance.modules_lock);
    const auto* slot = instance.modules.get(key);
    return slot ? *slot : nullptr;
}

class LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        instance = test::make_instance(&capture);
        ASSERT_TRUE(instance);
        auto bytes = test::sample_storage().encode(*instance);
        ASSERT_TRUE(bytes);
        storage = std::move(*bytes);
        capture.clear();
    }

    Capture capture;
    std::shared_ptr<InstanceContext> instance;
    Bytes storage;
};

TEST_F(LoadTest, AddModuleStepsKeysAndContexts) {
    keinstr::Module module = test::sample_module(instance->type_registry);
    std::vector<std::string> labels;
    for (const auto& [id, f] : module.functions) labels.push_back(function_label(*f));
    const keinstr::Module copy = module;

    auto key = InstanceContext::add_module(instance, std::move(module));
    ASSERT_TRUE(key);
    EXPECT_EQ(key->debug(), "ModuleKey(1v1)");
    auto context = context_of(*instance, *key);
    ASSERT_TRUE(context);

    std::vector<std::string> expected{"Verifying module before adding to instance"};
    for (const auto& l : labels) expected.push_back("Type checking function '" + l + "'");
    expected.push_back("Module with UUID " + context->uuid.to_string() +
                       " added to instance. Contains functions: " + keinstr::debug_string_list(labels));
    expected.push_back("ModuleContext inserted into InstanceContext with key ModuleKey(1v1)");
    EXPECT_EQ(capture.messages(), expected);
    ASSERT_EQ(capture.records.size(), expected.size());
    for (const auto& r : capture.records) {
        EXPECT_EQ(r.module, "kecore::base");
        EXPECT_EQ(r.file, "kecore/src/base/mod.cpp");
    }
    EXPECT_EQ(capture.records[labels.size() + 1].level, LogLevelEXT::Info);
    EXPECT_EQ(capture.records.back().level, LogLevelEXT::Trace);

    // The unnamed function is labelled by its UUID.
    const auto unnamed =
        std::find_if(copy.functions.begin(), copy.functions.end(), [](const auto& e) { return !e.second->name; });
    ASSERT_NE(unnamed, copy.functions.end());
    EXPECT_EQ(function_label(*unnamed->second), "@" + unnamed->first.to_string());

    EXPECT_EQ(context->key, *key);
    EXPECT_EQ(context->module, copy);
    EXPECT_EQ(context->uuid.version(), 6);
    EXPECT_EQ(context->uuid.bytes[10], 0x04);  // node id, little-endian, then two zeros
    EXPECT_EQ(context->uuid.bytes[13], 0x01);
    EXPECT_EQ(context->uuid.bytes[14], 0x00);
    EXPECT_EQ(context->instance.lock(), instance);
    EXPECT_EQ(context->function_contexts.size(), 3u);
    for (const auto& [id, f] : context->module.functions) {
        EXPECT_TRUE(context->function_contexts.with(id, [&](const FunctionContext& fc) {
            EXPECT_EQ(fc.uuid, id);
            EXPECT_EQ(fc.function, f);
            EXPECT_EQ(fc.analysis.function, f);
            const keinstr::FunctionAnalysis own = keinstr::Function::analyze(f);
            EXPECT_EQ(fc.analysis.dest_map, own.dest_map);
            EXPECT_EQ(fc.analysis.function_flow, own.function_flow);
            EXPECT_TRUE(fc.attached->functions.empty());
        }));
    }

    auto second = InstanceContext::add_module(instance, keinstr::Module());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->debug(), "ModuleKey(2v1)");
    const auto messages = capture.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_TRUE(messages.end()[-2].ends_with(" added to instance. Contains functions: []")) << messages.end()[-2];
    EXPECT_LT(context->uuid, context_of(*instance, *second)->uuid);
}

TEST_F(LoadTest, AddModuleFailures) {
    // Verification failure: no Error line, no key used.
    keinstr::Module unverifiable;
    keinstr::Function f = keinstr::Function::default_function();
    f.body.clear();
    unverifiable.insert_function(f);
    auto failed = InstanceContext::add_module(instance, std::move(unverifiable));
    ASSERT_FALSE(failed);
    ASSERT_NE(failed.error().get_if<KeError::Ir>(), nullptr);
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"Verifying module before adding to instance"});

    // Type check failure of the second function in UUID order.
    capture.clear();
    const keinstr::Typeref i32 = instance->type_registry.search_or_insert(keinstr::int_type(32));
    keinstr::Module module;
    keinstr::Function good =
        test::returning("good", {{keinstr::Name{0}, i32}}, i32, keinstr::Operand{keinstr::Name{0}});
    keinstr::Function bad = test::returning(
        std::nullopt, {}, i32, keinstr::Operand{keinstr::AnyConst{keinstr::IConst{keinstr::IType{64}, 1}}});
    good.uuid.bytes[0] = 0x00;
    bad.uuid.bytes[0] = 0xFF;
    module.insert_function(good);
    module.insert_function(bad);
    failed = InstanceContext::add_module(instance, std::move(module));
    ASSERT_FALSE(failed);
    const auto* ir = failed.error().get_if<KeError::Ir>();
    ASSERT_NE(ir, nullptr);
    const std::string bad_label = "@" + bad.uuid.to_string();
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{"Verifying module before adding to instance", "Type checking function 'good'",
                                        "Type checking function '" + bad_label + "'",
                                        "Type check failed for function '" + bad_label + "': " + ir->error.message()}));
    ASSERT_EQ(capture.records.size(), 4u);
    EXPECT_EQ(capture.records.back().level, LogLevelEXT::Error);
    EXPECT_EQ(failed.error().message(), ir->error.message());

    // No key was consumed by either failure.
    auto key = InstanceContext::add_module(instance, keinstr::Module());
    ASSERT_TRUE(key);
    EXPECT_EQ(key->debug(), "ModuleKey(1v1)");
}

TEST_F(LoadTest, LoadLogsMergesAndAdds) {
    auto key = load_module(instance, storage);
    ASSERT_TRUE(key) << key.error().message();
    const auto messages = capture.messages();
    ASSERT_GE(messages.size(), 5u);
    EXPECT_EQ(messages[0], fmt::format("Deserializing compiled module storage ({} bytes)", storage.size()));
    EXPECT_EQ(messages[1], fmt::format("Loaded compiled module with 3 functions from {} bytes", storage.size()));
    EXPECT_EQ(messages[2], "Module originally compiled from: a.kir, b.kir");
    EXPECT_EQ(messages[3], "Merging type registry (4 types) into instance's registry (0 types)");
    EXPECT_EQ(messages[4], "Verifying module before adding to instance");
    EXPECT_EQ(messages.back(), "ModuleContext inserted into InstanceContext with key ModuleKey(1v1)");
    ASSERT_GE(capture.records.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(capture.records[i].module, "kecore::compiler");

    // The module now refers to the instance's types only.
    auto context = context_of(*instance, *key);
    ASSERT_TRUE(context);
    const std::size_t types = instance->type_registry.len();
    EXPECT_EQ(types, 4u);
    for (const auto& [id, f] : context->module.functions) {
        for (const auto& [name, ty] : f->params) EXPECT_TRUE(instance->type_registry.get(ty).has_value());
    }

    // Loading again adds no type and gives another key.
    capture.clear();
    auto again = load_module(instance, storage);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->debug(), "ModuleKey(2v1)");
    EXPECT_EQ(instance->type_registry.len(), types);
    ASSERT_GE(capture.messages().size(), 4u);
    EXPECT_EQ(capture.messages()[3], "Merging type registry (4 types) into instance's registry (4 types)");
    EXPECT_NE(context_of(*instance, *again)->uuid, context->uuid);
}

// A loaded function's instructions live in memory its module's load took for all
// of them; a function kept after its module, its instance and every other
// function are gone must still hold them (the sanitizer build reads freed memory
// here if that memory goes with the module).
TEST_F(LoadTest, FunctionsOutliveTheirModuleAndInstance) {
    ModuleCompileInfo info;
    info.sources.push_back(ModuleSourceInfo{
        ModuleSourceType::Assembly, "k.kir",
        std::string("define i32 k(%x: i32) {\ne:\n  %y: i32 = imul.wrap %x, %x\n  %z: i32 = iadd.wrap %y, i32 7\n"
                    "  ret %z\n}\n"
                    "define void !m(%c: i1) {\ne:\n  !assume %c\n  ret void\n}\n")});
    auto compiled = compile_sources(*instance, std::move(info));
    ASSERT_TRUE(compiled) << compiled.error().message();
    auto key = load_module(instance, *compiled);
    ASSERT_TRUE(key) << key.error().message();
    std::shared_ptr<const keinstr::Function> kept;
    keinstr::Function copy;
    {
        auto context = context_of(*instance, *key);
        ASSERT_TRUE(context);
        ASSERT_EQ(context->module.functions.size(), 2u);
        for (const auto& [id, f] : context->module.functions) {
            if (f->name == "k") kept = f;
        }
        ASSERT_TRUE(kept);
        const keinstr::BasicBlock& entry = kept->body.at(keinstr::Label{0});
        ASSERT_EQ(entry.instructions.size(), 2u);
        ASSERT_NE(entry.instructions.get_allocator().arena(), nullptr);
        copy = *kept;
    }
    EXPECT_EQ(copy.body.at(keinstr::Label{0}).instructions.get_allocator().arena(), nullptr);
    instance.reset();
    EXPECT_EQ(kept.use_count(), 1);
    EXPECT_EQ(*kept, copy);
    kept.reset();
}

TEST_F(LoadTest, EmptyStorageAndCrossInstanceLoads) {
    auto empty = CompiledModuleStorage{}.encode(*instance);
    ASSERT_TRUE(empty);
    capture.clear();
    auto key = load_module(instance, *empty);
    ASSERT_TRUE(key);
    const auto messages = capture.messages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[1], fmt::format("Loaded compiled module with 0 functions from {} bytes", empty->size()));
    EXPECT_EQ(messages[2], "Module originally compiled from: ");
    EXPECT_EQ(messages[3], "Merging type registry (0 types) into instance's registry (0 types)");

    // Storage made with one instance loads into any other.
    auto other = test::make_instance();
    ASSERT_TRUE(other);
    auto there = load_module(other, storage);
    ASSERT_TRUE(there);
    EXPECT_EQ(there->debug(), "ModuleKey(1v1)");
    EXPECT_EQ(other->type_registry.len(), 4u);
}

TEST_F(LoadTest, InvalidStorageLeavesTheInstanceUnchanged) {
    auto key = load_module(instance, Bytes{1, 2, 3});
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error().message(),
              "An unknown error occurred: Failed to read compiled module storage header: failed to fill whole buffer");
    EXPECT_EQ(capture.messages().size(), 2u);
    EXPECT_EQ(instance->type_registry.len(), 0u);
}

TEST_F(LoadTest, FailedAddKeepsMergedTypes) {
    // A module whose function does not type-check once loaded.
    CompiledModuleStorage s;
    s.type_registry = std::make_unique<keinstr::TypeRegistry>(0, keinstr::NodeId{});
    const keinstr::Typeref i8 = s.type_registry->search_or_insert(keinstr::int_type(8));
    s.module.insert_function(
        test::returning("f", {}, i8, keinstr::Operand{keinstr::AnyConst{keinstr::IConst{keinstr::IType{64}, 1}}}));
    auto bytes = s.encode(*instance);
    ASSERT_TRUE(bytes);
    auto key = load_module(instance, *bytes);
    ASSERT_FALSE(key);
    EXPECT_NE(key.error().get_if<KeError::Ir>(), nullptr);
    const std::size_t after = instance->type_registry.len();
    EXPECT_GE(after, 1u);
    capture.clear();
    EXPECT_FALSE(load_module(instance, *bytes));
    ASSERT_GE(capture.messages().size(), 4u);
    EXPECT_EQ(capture.messages()[3],
              fmt::format("Merging type registry (1 types) into instance's registry ({} types)", after));
    EXPECT_EQ(instance->type_registry.len(), after);
    // Nothing was added: the next module gets the first key.
    auto next = load_module(instance, storage);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->debug(), "ModuleKey(1v1)");
}

TEST_F(LoadTest, UnmergeableRegistryFailsInsteadOfHanging) {
    // A stored struct naming a type the stored registry does not hold.
    keinstr::TypeRegistry stored(0, keinstr::NodeId{});
    const keinstr::Typeref i32 = stored.search_or_insert(keinstr::int_type(32));
    keinstr::Typeref missing;
    missing.uuid.bytes.fill(0x5A);
    stored.search_or_insert(keinstr::struct_type({i32, missing}));
    const Bytes data =
        test::concat(test::storage_header("=0.1.2"), test::zstd_frame(test::payload_of({}, keinstr::Module(), stored)));
    auto key = load_module(instance, data);
    ASSERT_FALSE(key);
    const std::string text =
        "Failed to merge type registry: 1 type(s) refer to types the stored registry does not hold";
    EXPECT_EQ(key.error().message(), "An unknown error occurred: " + text);
    ASSERT_FALSE(capture.records.empty());
    EXPECT_EQ(capture.messages().back(), text);
    EXPECT_EQ(capture.records.back().level, LogLevelEXT::Error);
    // The type that could be merged is there; no module was added.
    EXPECT_EQ(instance->type_registry.len(), 1u);
    EXPECT_TRUE(instance->modules.empty());
}

TEST_F(LoadTest, ConcurrentLoadsIntoOneInstance) {
    constexpr int kThreads = 8;
    constexpr int kEach = 16;
    std::vector<std::vector<ModuleKey>> keys(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                auto key = load_module(instance, storage);
                if (key) keys[t].push_back(*key);
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<ModuleKey> all;
    for (const auto& v : keys) {
        EXPECT_EQ(v.size(), static_cast<std::size_t>(kEach));
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(all.rbegin()->index(), static_cast<std::uint32_t>(kThreads * kEach));
    EXPECT_EQ(instance->modules.size(), static_cast<std::size_t>(kThreads * kEach));
    // Every equal type was interned once.
    EXPECT_EQ(instance->type_registry.len(), 4u);
}

TEST_F(LoadTest, LogCallbackMayLoadIntoTheSameInstance) {
    // The record about the insertion reaches the hook after the slot lock
    // is released, so a callback loading into the same instance goes on.
    std::atomic<int> nested{0};
    capture.on_record = [&](const LogMessageEXT& record) {
        if (record.message.starts_with("ModuleContext inserted") && nested.fetch_add(1) == 0) {
            auto inner = load_module(instance, storage);
            EXPECT_TRUE(inner);
        }
    };
    auto key = load_module(instance, storage);
    capture.on_record = nullptr;
    ASSERT_TRUE(key);
    EXPECT_EQ(instance->modules.size(), 2u);
    EXPECT_EQ(key->debug(), "ModuleKey(1v1)");
}

// A random value of `limbs` 64-bit limbs, and its hexadecimal digits.
std::pair<keinstr::BigInt, std::string> random_number(std::size_t limbs, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint64_t> words(limbs);
    std::string hex;
    for (std::uint64_t& w : words) {
        w = rng() | (std::uint64_t{1} << 63);
        hex += fmt::format("{:016x}", w);
    }
    keinstr::BigInt v;
    boost::multiprecision::import_bits(v, words.begin(), words.end(), 64, true);
    return {std::move(v), std::move(hex)};
}

// `text` with its one occurrence of `from` replaced by `to`.
std::string replaced(std::string text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// Numbers of about a hundred thousand digits where messages show them: the
// message is the one a small number gives, with the big number's Boost text in
// its place.
TEST_F(LoadTest, HugeNumbersKeepTheirTextsInMessages) {
    const auto [big, hex] = random_number(5200, 7);  // 100 175 decimal digits
    const std::string decimal = big.str();
    auto failure = [&](std::string source) {
        ModuleCompileInfo info;
        info.sources.push_back(ModuleSourceInfo{ModuleSourceType::Assembly, "h.kir", std::move(source)});
        auto compiled = compile_sources(*instance, std::move(info));
        EXPECT_FALSE(compiled);
        return compiled ? KeError(KeError::Unknown{"compiled"}) : compiled.error();
    };
    auto mismatch = [](std::string_view literal) {
        return fmt::format("define i32 f(%x: i32) {{\ne:\n  %y: i32 = iadd.wrap %x, i8 {}\n  ret %y\n}}\n", literal);
    };
    EXPECT_EQ(failure(mismatch(decimal)).message(),
              replaced(failure(mismatch("1234567")).message(), "i8 1234567", "i8 " + decimal));

    // The parse fails after the number; the token texts are made when read.
    auto beside = [](std::string_view digits) {
        return fmt::format("define i32 f(%x: i32) {{\ne:\n  %y: i32 = iadd.wrap %x, i32 0x{}\n  ret %y\n}}\noops\n",
                           digits);
    };
    const std::string small_hex = std::string(hex.size() - 1, '0') + "1";
    const KeError parse = failure(beside(hex));
    EXPECT_EQ(parse.message(), failure(beside(small_hex)).message());
    const auto* ir = parse.get_if<KeError::Ir>();
    ASSERT_NE(ir, nullptr);
    const auto* pe = ir->error.get_if<keinstr::Error::ParserErrors>();
    ASSERT_NE(pe, nullptr);
    ASSERT_EQ(pe->tokens.size(), 30u);
    EXPECT_EQ(pe->tokens[21], "Number(" + decimal + ")");
    EXPECT_EQ(pe->tokens[28], "Identifier(\"oops\", [])");

    // An array size beyond the limit, against a small one of the same length.
    auto array = [](std::string_view digits) {
        return fmt::format("define void f(%p: [0x{} x i8]) {{\ne:\n  ret void\n}}\n", digits);
    };
    const std::string small_size = std::string(hex.size() - 5, '0') + "10000";
    EXPECT_EQ(failure(array(hex)).message(),
              replaced(failure(array(small_size)).message(), "got 65536", "got " + decimal));

    // Stored i8 constant returned as i32: loading fails on the type check.
    auto load_failure = [&](const keinstr::BigInt& value) {
        CompiledModuleStorage s;
        s.type_registry = std::make_unique<keinstr::TypeRegistry>(0, keinstr::NodeId{});
        const keinstr::Typeref i32 = s.type_registry->search_or_insert(keinstr::int_type(32));
        s.module.insert_function(test::returning(
            "f", {}, i32, keinstr::Operand{keinstr::AnyConst{keinstr::IConst{keinstr::IType{8}, value}}}));
        auto bytes = s.encode(*instance);
        EXPECT_TRUE(bytes);
        auto loaded = load_module(instance, bytes ? *bytes : Bytes{});
        EXPECT_FALSE(loaded);
        return loaded ? std::string() : loaded.error().message();
    };
    EXPECT_EQ(load_failure(-big), replaced(load_failure(-1234567), "i8 -1234567", "i8 -" + decimal));
}

}  // namespace
}  // namespace kecore
