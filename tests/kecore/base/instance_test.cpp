#include <gtest/gtest.h>

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "kecore/base/api.hpp"
#include "kecore/base/build_info.hpp"
#include "kecore/base/instance_context.hpp"
#include "kecore/base/log.hpp"
#include "kecore/ext/kelog/impl.hpp"
#include "kecore/ext/kelog/log.hpp"
#include "kecore/utils/local_time.hpp"

namespace kecore {
namespace {

// ---- probe plugins: each writes its lifecycle into a shared journal -------

std::vector<std::string> g_journal;

keinstr::Uuid uuid_with_first_byte(std::uint8_t b) {
    keinstr::Uuid u;
    u.bytes[0] = b;
    u.bytes[15] = 1;
    return u;
}

class ProbePlugin final : public DynPluginEXT {
public:
    ProbePlugin(std::string_view name, keinstr::Uuid uuid, bool fail_init)
        : name_(name), uuid_(uuid), fail_init_(fail_init) {}
    ~ProbePlugin() override { g_journal.push_back("destroy:" + std::string(name_)); }

    void attach_to(std::weak_ptr<InstanceContext> instance) override {
        instance_ = std::move(instance);
        g_journal.push_back("attach:" + std::string(name_));
    }
    std::expected<void, KeError> initialize() override {
        g_journal.push_back("init:" + std::string(name_));
        // Every plugin is attached before any is initialised, to a live instance.
        if (!instance_.lock()) g_journal.push_back("init-without-instance");
        if (fail_init_) return std::unexpected(KeError(KeError::Unknown{"init failed"}));
        return {};
    }
    void teardown() override { g_journal.push_back("teardown:" + std::string(name_)); }

    keinstr::Uuid uuid() const noexcept override { return uuid_; }
    std::string_view name() const noexcept override { return name_; }
    std::string_view description() const noexcept override { return "probe"; }

private:
    std::string_view name_;
    keinstr::Uuid uuid_;
    bool fail_init_;
    std::weak_ptr<InstanceContext> instance_;
};

template <std::uint8_t First, bool FailInit>
std::expected<std::unique_ptr<DynPluginEXT>, KeError> probe_factory(OpaqueList&);

#define PROBE(ident, name, first, fail)                                                             \
    template <>                                                                                     \
    std::expected<std::unique_ptr<DynPluginEXT>, KeError> probe_factory<first, fail>(OpaqueList&) { \
        g_journal.push_back("factory:" name);                                                       \
        return std::make_unique<ProbePlugin>(name, uuid_with_first_byte(first), fail);              \
    }                                                                                               \
    const Registrar<PluginRegistryEntry> ident{                                                     \
        plugin_registry, {name, "probe", &probe_factory<first, fail>, uuid_with_first_byte(first)}};

PROBE(kLow, "low", 0x01, false)
PROBE(kMid, "mid", 0x40, false)
PROBE(kFailInit, "fail_init", 0x80, true)
PROBE(kHigh, "high", 0xF0, false)

std::expected<std::unique_ptr<DynPluginEXT>, KeError> failing_factory(OpaqueList&) {
    g_journal.push_back("factory:fail_factory");
    return std::unexpected(KeError(KeError::NotFound{"k", "thing"}));
}
const Registrar<PluginRegistryEntry> kFailFactory{
    plugin_registry, {"fail_factory", "probe", &failing_factory, uuid_with_first_byte(0x90)}};

// ---- a log callback that keeps the records it receives ---------------------

struct Capture {
    std::vector<LogMessageEXT> records;
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& r : records) out.push_back(r.message);
        return out;
    }
};

class CaptureTarget final : public LogCallbackEXT::Target {
public:
    explicit CaptureTarget(Capture& capture) : capture_(&capture) {}
    void call(LogMessageEXT record) override { capture_->records.push_back(std::move(record)); }
    const void* address() const noexcept override { return capture_; }

private:
    Capture* capture_;
};

std::unique_ptr<OpaqueObject> capture_settings(Capture& capture, LogLevelEXT level) {
    return std::make_unique<LogCreateInfoEXT>(level, LogCallbackEXT(std::make_unique<CaptureTarget>(capture)));
}

InstanceCreateInfo make_info(std::vector<std::string> extensions) {
    InstanceCreateInfo info;
    info.application_info.application_version = {1, 2, 3};
    info.application_info.application_name = "app";
    info.application_info.engine_version = {4, 5, 6};
    info.application_info.engine_name = "eng";
    info.enabled_extensions = std::move(extensions);
    info.node_id = 258;
    return info;
}

class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override { g_journal.clear(); }
};

TEST_F(InstanceTest, WithoutExtensions) {
    auto created = create_instance(make_info({}));
    ASSERT_TRUE(created);
    const InstanceContext& instance = **created;
    EXPECT_TRUE(instance.plugins.empty());
    EXPECT_EQ(instance.log_hook(), &default_log_hook);
    EXPECT_EQ(instance.application_name, "app");
    EXPECT_EQ(instance.application_version.to_string(), "1.2.3");
    EXPECT_EQ(instance.engine_name, "eng");
    EXPECT_EQ(instance.engine_version.to_string(), "4.5.6");
    EXPECT_EQ(instance.version.to_string(), "0.1.2");
    EXPECT_EQ(instance.node_id, 258u);
    EXPECT_EQ(instance.uuid_node, (keinstr::NodeId{0x02, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(instance.type_registry.node_id(), instance.uuid_node);
    EXPECT_EQ(instance.type_registry.clock_counter(), 0);
    EXPECT_EQ(instance.type_registry.len(), 0u);
    EXPECT_EQ(instance.modules.size(), 0u);
    EXPECT_TRUE(g_journal.empty());
}

TEST_F(InstanceTest, CreationAndTeardownRecordsReachTheLogger) {
    Capture capture;
    InstanceCreateInfo info = make_info({"__EXT_kestrane_logger"});
    info.ext.items.push_back(capture_settings(capture, LogLevelEXT::Trace));
    // The system clock read on its own, in local time.
    const auto clock = [] {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        return local_time_of(ns / 1'000'000'000, static_cast<std::uint32_t>(ns % 1'000'000'000));
    };
    const NaiveDateTime before = clock();
    auto created = create_instance(std::move(info));
    const NaiveDateTime after = clock();
    ASSERT_TRUE(created);
    const std::string address = fmt::format("{}", fmt::ptr(created->get()));
    ASSERT_EQ(address.substr(0, 2), "0x");

    const BuildInfo& build = retrieve_build_info();
    std::string features = "[";
    for (std::size_t i = 0; i < build.enabled_features.size(); ++i) {
        features += (i ? ", \"" : "\"") + build.enabled_features[i] + "\"";
    }
    features += "]";
    const std::string commit_line =
        build.version_control
            ? fmt::format("built from commit {}..{} on branch '{}'", build.version_control->commit_short_id,
                          build.version_control->dirty ? " (dirty)" : "",
                          build.version_control->branch.value_or("<unnamed>"))
            : "built from commit 00000000.. on branch '<unnamed>'";
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{
                  "Instance created successfully at " + address,
                  "Application 'app' v1.2.3 using engine 'eng' v4.5.6 (node ID: 258)",
                  "Loaded 1 extensions: [\"__EXT_kestrane_logger\"]",
                  fmt::format("kecore version: v0.1.2 (features: {}) -- {} {}", features, build.target, build.profile),
                  commit_line,
              }));
    const std::vector<LogLevelEXT> levels = {LogLevelEXT::Trace, LogLevelEXT::Info, LogLevelEXT::Info,
                                             LogLevelEXT::Info, LogLevelEXT::Info};
    ASSERT_EQ(capture.records.size(), levels.size());
    // Every field of a timepoint, down to the nanosecond, comes from the clock
    // read when the record was made: between two reads around the call.
    const auto fields = [](const NaiveDateTime& t) {
        return std::tuple(t.year, t.month, t.day, t.hour, t.minute, t.second, t.nanosecond);
    };
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const LogMessageEXT& r = capture.records[i];
        EXPECT_LE(fields(before), fields(r.timepoint)) << before.to_string() << " " << r.timepoint.to_string();
        EXPECT_LE(fields(r.timepoint), fields(after)) << r.timepoint.to_string() << " " << after.to_string();
        EXPECT_EQ(r.level, levels[i]);
        EXPECT_EQ(r.module, "kecore::base");
        EXPECT_EQ(r.file, "kecore/src/base/mod.cpp");
        EXPECT_TRUE(r.line.has_value());
        EXPECT_FALSE(r.thread_name.has_value());
    }
    capture.records.clear();
    created->reset();
    ASSERT_EQ(capture.records.size(), 1u);
    EXPECT_EQ(capture.records[0].level, LogLevelEXT::Trace);
    EXPECT_EQ(capture.records[0].message, "Tearing down InstanceContext at " + address);
}

TEST_F(InstanceTest, LevelFilterAndOnlyTheFirstSettingsRecordIsTaken) {
    Capture first, second;
    InstanceCreateInfo info = make_info({"__EXT_kestrane_logger"});
    info.ext.items.push_back(capture_settings(first, LogLevelEXT::Info));
    info.ext.items.push_back(capture_settings(second, LogLevelEXT::Trace));
    auto created = create_instance(std::move(info));
    ASSERT_TRUE(created);
    EXPECT_EQ(first.records.size(), 4u);  // the Trace creation line is dropped
    for (auto level :
         {LogLevelEXT::Trace, LogLevelEXT::Debug, LogLevelEXT::Info, LogLevelEXT::Warn, LogLevelEXT::Error}) {
        log_message(**created, level, kLogOriginBase, 1, "level {}", static_cast<int>(level));
    }
    created->reset();  // Trace teardown line dropped too
    ASSERT_EQ(first.records.size(), 7u);
    EXPECT_EQ(first.records[4].message, "level 2");
    EXPECT_EQ(first.records[5].message, "level 3");
    EXPECT_EQ(first.records[6].message, "level 4");
    EXPECT_TRUE(second.records.empty());
}

TEST_F(InstanceTest, RecordsAreMadeOnlyForAHookThatKeepsThem) {
    // Arguments of a record nobody keeps are not even evaluated.
    int evaluated = 0;
    const auto count = [&] { return ++evaluated; };

    auto plain = create_instance(make_info({}));
    ASSERT_TRUE(plain);
    for (auto level : {LogLevelEXT::Trace, LogLevelEXT::Error}) EXPECT_FALSE((*plain)->log_wanted(level));
    KECORE_LOG(**plain, Error, kLogOriginBase, "{}", count());
    EXPECT_EQ(evaluated, 0);

    Capture capture;
    InstanceCreateInfo info = make_info({"__EXT_kestrane_logger"});
    info.ext.items.push_back(capture_settings(capture, LogLevelEXT::Warn));
    auto logged = create_instance(std::move(info));
    ASSERT_TRUE(logged);
    EXPECT_FALSE((*logged)->log_wanted(LogLevelEXT::Info));
    EXPECT_TRUE((*logged)->log_wanted(LogLevelEXT::Warn));
    EXPECT_TRUE((*logged)->log_wanted(LogLevelEXT::Error));
    capture.records.clear();
    KECORE_LOG(**logged, Info, kLogOriginBase, "{}", count());
    EXPECT_EQ(evaluated, 0);
    KECORE_LOG(**logged, Error, kLogOriginBase, "kept {}", count());
    EXPECT_EQ(evaluated, 1);
    ASSERT_EQ(capture.records.size(), 1u);
    EXPECT_EQ(capture.records[0].message, "kept 1");
}

TEST_F(InstanceTest, PluginLifecycleOrder) {
    auto created = create_instance(make_info({"high", "low", "mid"}));
    ASSERT_TRUE(created);
    EXPECT_EQ(g_journal, (std::vector<std::string>{"factory:high", "factory:low", "factory:mid", "attach:low",
                                                   "attach:mid", "attach:high", "init:low", "init:mid", "init:high"}));
    g_journal.clear();
    created->reset();
    EXPECT_EQ(g_journal, (std::vector<std::string>{"teardown:high", "destroy:high", "teardown:mid", "destroy:mid",
                                                   "teardown:low", "destroy:low"}));
}

TEST_F(InstanceTest, UnknownNameTearsDownWhatWasBuilt) {
    auto created = create_instance(make_info({"high", "low", "nope"}));
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message(), "Plugin with name 'nope' not found");
    EXPECT_EQ(g_journal, (std::vector<std::string>{"factory:high", "factory:low", "teardown:high", "destroy:high",
                                                   "teardown:low", "destroy:low"}));
}

TEST_F(InstanceTest, FactoryErrorIsPassedOnUnchanged) {
    auto created = create_instance(make_info({"low", "fail_factory", "high"}));
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message(), "Failed to find thing with key 'k'");
    EXPECT_EQ(g_journal,
              (std::vector<std::string>{"factory:low", "factory:fail_factory", "teardown:low", "destroy:low"}));
}

TEST_F(InstanceTest, InitializeFailureTearsEveryPluginDown) {
    Capture capture;
    InstanceCreateInfo info = make_info({"high", "fail_init", "__EXT_kestrane_logger", "low"});
    info.ext.items.push_back(capture_settings(capture, LogLevelEXT::Trace));
    auto created = create_instance(std::move(info));
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message(), "An unknown error occurred: init failed");
    // The logger (0x20...) was initialised before fail_init (0x80...): the
    // teardown line goes through its hook; high (0xF0...) was never
    // initialised but is torn down all the same.
    EXPECT_EQ(g_journal, (std::vector<std::string>{"factory:high", "factory:fail_init", "factory:low", "attach:low",
                                                   "attach:fail_init", "attach:high", "init:low", "init:fail_init",
                                                   "teardown:high", "destroy:high", "teardown:fail_init",
                                                   "destroy:fail_init", "teardown:low", "destroy:low"}));
    ASSERT_EQ(capture.records.size(), 1u);
    EXPECT_EQ(capture.records[0].message.rfind("Tearing down InstanceContext at 0x", 0), 0u);
}

TEST_F(InstanceTest, NameListedTwiceKeepsTheFirstPluginAndItsSettings) {
    Capture capture;
    InstanceCreateInfo info = make_info({"__EXT_kestrane_logger", "low", "__EXT_kestrane_logger", "low"});
    info.ext.items.push_back(capture_settings(capture, LogLevelEXT::Info));
    auto created = create_instance(std::move(info));
    ASSERT_TRUE(created);
    EXPECT_EQ((*created)->plugins.size(), 2u);
    EXPECT_EQ(g_journal, (std::vector<std::string>{"factory:low", "attach:low", "init:low"}));
    // The settings of the first listing hold: the callback gets the Info lines.
    ASSERT_EQ(capture.records.size(), 4u);
    EXPECT_EQ(capture.records[1].message,
              "Loaded 2 extensions: [\"__EXT_kestrane_logger\", \"low\", \"__EXT_kestrane_logger\", \"low\"]");
}

// A callback that logs into the same instance while it is being called.
const InstanceContext* g_reentrant_instance = nullptr;

class ReentrantTarget final : public LogCallbackEXT::Target {
public:
    explicit ReentrantTarget(Capture& capture) : capture_(&capture) {}
    void call(LogMessageEXT record) override {
        const bool outer = record.message == "outer";
        capture_->records.push_back(std::move(record));
        if (outer && g_reentrant_instance != nullptr) {
            KECORE_LOG(*g_reentrant_instance, Info, kLogOriginBase, "inner {}", 1);
        }
    }
    const void* address() const noexcept override { return capture_; }

private:
    Capture* capture_;
};

TEST_F(InstanceTest, ReentrantCallbackDoesNotDeadlock) {
    Capture capture;
    InstanceCreateInfo info = make_info({"__EXT_kestrane_logger"});
    info.ext.items.push_back(std::make_unique<LogCreateInfoEXT>(
        LogLevelEXT::Info, LogCallbackEXT(std::make_unique<ReentrantTarget>(capture))));
    auto created = create_instance(std::move(info));
    ASSERT_TRUE(created);
    g_reentrant_instance = created->get();
    capture.records.clear();
    KECORE_LOG(**created, Info, kLogOriginBase, "outer");
    g_reentrant_instance = nullptr;
    EXPECT_EQ(capture.messages(), (std::vector<std::string>{"outer", "inner 1"}));
}

TEST(BuildInfo, DecodedOnceAndFallbacks) {
    EXPECT_EQ(&retrieve_build_info(), &retrieve_build_info());
    EXPECT_EQ(retrieve_build_info().version.to_string(), "0.1.2");

    BuildInfo with_git = decode_build_info("0.1.2", "release", "default, ext_all;pyo3", "t", "c", "d",
                                           "0123456789abcdef0123456789abcdef01234567", "main", true);
    EXPECT_EQ(with_git.enabled_features, (std::vector<std::string>{"default", "ext_all", "pyo3"}));
    ASSERT_TRUE(with_git.version_control);
    EXPECT_EQ(with_git.version_control->commit_short_id, "0123456");
    EXPECT_TRUE(with_git.version_control->dirty);
    EXPECT_EQ(with_git.version_control->branch, "main");

    BuildInfo no_branch = decode_build_info("0.1.2", "release", "", "t", "c", "d", "abcdef0", "", false);
    ASSERT_TRUE(no_branch.version_control);
    EXPECT_FALSE(no_branch.version_control->branch);
    EXPECT_TRUE(no_branch.enabled_features.empty());

    // No commit yet (the tool prints the revision name back): no version control part.
    EXPECT_FALSE(decode_build_info("0.1.2", "debug", "", "t", "c", "d", "HEAD", "main", false).version_control);
    EXPECT_FALSE(decode_build_info("0.1.2", "debug", "", "t", "c", "d", "", "", false).version_control);
}

}  // namespace
}  // namespace kecore
