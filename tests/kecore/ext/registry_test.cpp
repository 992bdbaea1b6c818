#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kecore/ext/kelog/impl.hpp"
#include "kecore/ext/plugin.hpp"
#include "kecore/formal/axioms.hpp"
#include "kecore/utils/opaque.hpp"
#include "kecore/utils/static_registry.hpp"

namespace kecore {
namespace {

TEST(PluginRegistry, LoggerFoundOnlyByItsExactName) {
    const PluginRegistryEntry* entry = plugin_registry.find("__EXT_kestrane_logger");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->name, "__EXT_kestrane_logger");
    EXPECT_EQ(entry->description, "Kestrane Logger Extension");
    EXPECT_EQ(entry->uuid.to_string(), "20189b61-7279-46fa-9ba2-5f0360bf5b51");
    for (const char* miss :
         {"__EXT_Kestrane_logger", " __EXT_kestrane_logger", "__EXT_kestrane_logger ", "", "__EXT_kestrane_log"}) {
        EXPECT_EQ(plugin_registry.find(miss), nullptr) << '"' << miss << '"';
    }
}

TEST(PluginRegistry, LoggerPluginReportsItsEntry) {
    OpaqueList empty;
    auto plugin = log_plugin_factory(empty);
    ASSERT_TRUE(plugin);
    EXPECT_EQ((*plugin)->uuid().to_string(), "20189b61-7279-46fa-9ba2-5f0360bf5b51");
    EXPECT_EQ((*plugin)->name(), "__EXT_kestrane_logger");
    EXPECT_EQ((*plugin)->description(), "Kestrane Logger Extension");
    const LogPluginEXT* logger = (*plugin)->as<LogPluginEXT>();
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->level(), LogLevelEXT::Trace);  // without settings: everything
    EXPECT_FALSE(logger->has_callback());            // ... to standard output
}

TEST(DerivationStrategyRegistry, HoldsExactlyTheAxiomStrategy) {
    std::vector<std::string> names;
    for (const DerivationStrategyRegistryEntry& entry : derivation_strategy_registry) {
        names.emplace_back(entry.name);
    }
    EXPECT_EQ(names, std::vector<std::string>{"AxiomStrategy"});
}

TEST(AxiomStrategy, KeepsTheWeakReferenceItWasGiven) {
    auto owner = std::make_shared<int>(0);
    // Any weak reference will do; the strategy never upgrades it.
    std::weak_ptr<InstanceContext> none;
    auto strategy = axiom_strategy_factory(none);
    ASSERT_TRUE(strategy);
    EXPECT_EQ((*strategy)->name(), "AxiomStrategy");
    (*strategy)->derive();
    EXPECT_TRUE((*strategy)->instance().expired());
    EXPECT_TRUE((*strategy)->is<AxiomStrategy>());
}

// A registry of its own, to see the list order and the first-match rule.
struct NamedEntry {
    std::string_view name;
    int tag;
    std::string_view key() const noexcept { return name; }
};

TEST(StaticRegistry, PrependsAndTakesTheLastRegisteredOfEqualKeys) {
    static StaticRegistry<NamedEntry> registry;
    EXPECT_EQ(registry.find("a"), nullptr);
    static Registrar<NamedEntry> a1(registry, {"a", 1});
    static Registrar<NamedEntry> b(registry, {"b", 2});
    static Registrar<NamedEntry> a2(registry, {"a", 3});
    std::vector<int> order;
    for (const NamedEntry& e : registry) order.push_back(e.tag);
    EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
    ASSERT_NE(registry.find("a"), nullptr);
    EXPECT_EQ(registry.find("a")->tag, 3);
    EXPECT_EQ(registry.find("b")->tag, 2);
    EXPECT_EQ(registry.find("A"), nullptr);
}

struct RecordA final : OpaqueObject {
    explicit RecordA(int v) : v(v) {}
    std::string debug() const override { return "A" + std::to_string(v); }
    int v;
};
struct RecordB final : OpaqueObject {
    explicit RecordB(int v) : v(v) {}
    std::string debug() const override { return "B" + std::to_string(v); }
    int v;
};
struct RecordT final : OpaqueObject {
    explicit RecordT(int v) : v(v) {}
    std::string debug() const override { return "T" + std::to_string(v); }
    int v;
};

std::vector<std::string> contents(const OpaqueList& list) {
    std::vector<std::string> out;
    for (const auto& item : list.items) out.push_back(item->debug());
    return out;
}

TEST(OpaqueList, TakeExtRemovesTheFirstRecordOfTheType) {
    OpaqueList list;
    list.items.push_back(std::make_unique<RecordA>(1));
    list.items.push_back(std::make_unique<RecordT>(2));
    list.items.push_back(std::make_unique<RecordB>(3));
    list.items.push_back(std::make_unique<RecordT>(4));

    std::unique_ptr<RecordT> first = list.take_ext<RecordT>();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->v, 2);
    EXPECT_EQ(contents(list), (std::vector<std::string>{"A1", "B3", "T4"}));

    std::unique_ptr<RecordT> second = list.take_ext<RecordT>();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->v, 4);
    EXPECT_EQ(list.take_ext<RecordT>(), nullptr);
    EXPECT_EQ(contents(list), (std::vector<std::string>{"A1", "B3"}));
}

}  // namespace
}  // namespace kecore
