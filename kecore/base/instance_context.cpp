#include "kecore/base/instance_context.hpp"

#include <fmt/format.h>

#include <iterator>

#include "kecore/base/log.hpp"
#include "keinstr/ir/error.hpp"
#include "keinstr/utils/try.hpp"

namespace kecore {

void default_log_hook(const InstanceContext&, LogMessageEXT) {}

bool log_wanted(const InstanceContext& instance, LogLevelEXT level) noexcept { return instance.log_wanted(level); }

void log_record(const InstanceContext& instance, LogLevelEXT level, const LogOrigin& origin, std::uint32_t line,
                NaiveDateTime timepoint, std::string message) noexcept {
    try {
        LogMessageEXT record;
        record.level = level;
        record.timepoint = timepoint;
        record.message = std::move(message);
        record.module = std::string(origin.module);
        record.file = std::string(origin.file);
        record.line = line;
        // The runtime starts and names no thread, so records carry no name.
        record.thread_name = std::nullopt;
        instance.log_hook()(instance, std::move(record));
    } catch (...) {
        // A log call reports nothing to its caller.
    }
}

keinstr::NodeId node_id_bytes(std::uint32_t node_id) noexcept {
    return {static_cast<std::uint8_t>(node_id & 0xFF),
            static_cast<std::uint8_t>((node_id >> 8) & 0xFF),
            static_cast<std::uint8_t>((node_id >> 16) & 0xFF),
            static_cast<std::uint8_t>((node_id >> 24) & 0xFF),
            0,
            0};
}

namespace {

Version semantic_version(const VersionInfo& v) { return Version(v.major, v.minor, v.patch); }

}  // namespace

InstanceContext::InstanceContext(const BuildInfo& build, ApplicationInfo&& app, std::uint32_t node_id)
    : version(build.version),
      application_name(std::move(app.application_name)),
      application_version(semantic_version(app.application_version)),
      engine_version(semantic_version(app.engine_version)),
      engine_name(std::move(app.engine_name)),
      type_registry(0, node_id_bytes(node_id)),
      node_id(node_id),
      uuid_context(keinstr::ClockContext::random_start()),
      uuid_node(node_id_bytes(node_id)) {}

std::expected<std::shared_ptr<InstanceContext>, KeError> InstanceContext::create(InstanceCreateInfo info) {
    const BuildInfo& build = retrieve_build_info();
    std::unique_ptr<InstanceContext> context(
        new InstanceContext(build, std::move(info.application_info), info.node_id));

    // Build the plugins in the order they are named. Leaving early destroys
    // the half-made context, whose teardown tears down what was built.
    for (const std::string& name : info.enabled_extensions) {
        const PluginRegistryEntry* entry = plugin_registry.find(name);
        if (entry == nullptr) return std::unexpected(KeError(KeError::PluginNotFound{name}));
        // A name listed again keeps the plugin already built from the first
        // listing, with the settings it took: building another would replace
        // it by one without settings (its record is gone from `ext`).
        if (context->plugins.contains(entry->uuid)) continue;
        auto plugin = KE_TRY(entry->factory(info.ext));
        const keinstr::Uuid id = plugin->uuid();
        // try_emplace keeps the existing plugin should a factory report a
        // UUID already present; the new one is then destroyed unattached.
        context->plugins.try_emplace(id, std::move(plugin));
    }

    std::shared_ptr<InstanceContext> instance(context.release());
    for (auto& [id, plugin] : instance->plugins) plugin->attach_to(instance);
    for (auto& [id, plugin] : instance->plugins) {
        // Returning drops the only strong reference: the instance tears down
        // through the hook now in force, every plugin gets its teardown.
        KE_TRY(plugin->initialize());
    }

    const InstanceContext& self = *instance;
    KECORE_LOG(self, Trace, kLogOriginBase, "Instance created successfully at {}", fmt::ptr(&self));
    KECORE_LOG(self, Info, kLogOriginBase, "Application '{}' v{} using engine '{}' v{} (node ID: {})",
               self.application_name, self.application_version, self.engine_name, self.engine_version, self.node_id);
    KECORE_LOG(self, Info, kLogOriginBase, "Loaded {} extensions: {}", self.plugins.size(),
               keinstr::debug_string_list(info.enabled_extensions));
    KECORE_LOG(self, Info, kLogOriginBase, "kecore version: v{} (features: {}) -- {} {}", build.version,
               keinstr::debug_string_list(build.enabled_features), build.target, build.profile);
    const std::string commit = build.version_control ? build.version_control->commit_short_id : "00000000";
    const std::string dirty = build.version_control && build.version_control->dirty ? " (dirty)" : "";
    const std::string branch = build.version_control && build.version_control->branch ? *build.version_control->branch
                                                                                      : std::string("<unnamed>");
    KECORE_LOG(self, Info, kLogOriginBase, "built from commit {}..{} on branch '{}'", commit, dirty, branch);
    return instance;
}

int InstanceContext::visit_host_objects(HostObjectVisitor& visitor) const {
    for (const auto& [uuid, plugin] : plugins) {
        if (!plugin) continue;
        if (int stop = plugin->visit_host_objects(visitor)) return stop;
    }
    return 0;
}

void InstanceContext::clear_host_objects() noexcept {
    for (auto& [uuid, plugin] : plugins) {
        if (plugin) plugin->clear_host_objects();
    }
}

InstanceContext::~InstanceContext() {
    KECORE_LOG(*this, Trace, kLogOriginBase, "Tearing down InstanceContext at {}", fmt::ptr(this));
    while (!plugins.empty()) {
        auto last = std::prev(plugins.end());
        std::unique_ptr<DynPluginEXT> plugin = std::move(last->second);
        plugins.erase(last);
        plugin->teardown();
        plugin.reset();
    }
    // Loaded modules go before the type registry they refer to.
    modules.clear();
}

}  // namespace kecore
