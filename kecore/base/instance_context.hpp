// InstanceContext: one running instance of the runtime.
//
// Created once from an InstanceCreateInfo and held behind a shared handle
// (the host's Instance object holds one); plugins and loaded modules hold
// only weak references back. When the last shared handle goes, the instance
// logs its teardown and tears its plugins down, highest UUID first.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <string>

#include "kecore/base/api.hpp"
#include "kecore/base/build_info.hpp"
#include "kecore/base/module_key.hpp"
#include "kecore/compiler/zstd_stream.hpp"
#include "kecore/ext/kelog/log.hpp"
#include "kecore/ext/plugin.hpp"
#include "kecore/utils/error.hpp"
#include "kecore/utils/semver.hpp"
#include "kecore/utils/slot_map.hpp"
#include "keinstr/ir/module.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/utils/rwlock.hpp"
#include "keinstr/utils/uuid.hpp"

namespace kecore {

class ModuleContext;

// The log-hook function type: a plain function without captured state; it
// owns the record it is given.
using LogHook = void (*)(const InstanceContext& instance, LogMessageEXT record);

// The hook every instance starts with: drops the record.
void default_log_hook(const InstanceContext& instance, LogMessageEXT record);

using ModuleSlots = SlotMap<ModuleKey, std::shared_ptr<ModuleContext>>;

class InstanceContext {
public:
    // Creates the instance: versions, plugins looked up by exact name and
    // built in `enabled_extensions` order, attached then initialised in
    // ascending UUID order, then the five creation log lines. On failure the
    // half-made instance is torn down and the error returned.
    static std::expected<std::shared_ptr<InstanceContext>, KeError> create(InstanceCreateInfo info);

    InstanceContext(const InstanceContext&) = delete;
    InstanceContext& operator=(const InstanceContext&) = delete;

    // Teardown: the Trace line "Tearing down InstanceContext at {}", then each
    // plugin's teardown, highest UUID first (a plugin is out of the map while
    // its own teardown runs), then the module slots before the type registry.
    ~InstanceContext();

    // The hook in force. It is written once, by a plugin's initialize during
    // creation, before the instance is visible to anyone else; log calls read
    // it without a lock and call it without holding one, so a hook that calls
    // back into the runtime (a host callback) cannot deadlock on it.
    LogHook log_hook() const noexcept { return log_hook_.load(std::memory_order_acquire); }
    // `least`: the hook drops records below this level, so they need not be made.
    void set_log_hook(LogHook hook, LogLevelEXT least = LogLevelEXT::Trace) noexcept {
        log_least_.store(least, std::memory_order_relaxed);
        log_hook_.store(hook, std::memory_order_release);
    }
    // Whether a record of `level` would reach a hook that keeps it.
    bool log_wanted(LogLevelEXT level) const noexcept {
        return log_hook() != &default_log_hook && level >= log_least_.load(std::memory_order_relaxed);
    }

    // Adds `module` to the instance (kecore/base/add_module.cpp): verifies it,
    // type-checks each function against the instance's registry, analyses
    // each function once and stores the new ModuleContext in the module
    // slots. Returns its key. The module is consumed, also on failure.
    // Only the slot insertion takes the module slots' lock; its log record is
    // written after the lock is released.
    static std::expected<ModuleKey, KeError> add_module(const std::shared_ptr<InstanceContext>& self,
                                                        keinstr::Module module);

    // The host objects the plugins keep alive for a host binding: visits each
    // once (a non-zero result of the visitor stops the walk and is returned),
    // or drops them all. The binding serialises these with its own log
    // callback (under the host's interpreter lock, say); the plugin map does
    // not change between creation and teardown.
    int visit_host_objects(HostObjectVisitor& visitor) const;
    void clear_host_objects() noexcept;

    // The instance's version-6 UUID source for loaded modules.
    keinstr::Uuid new_module_uuid() { return keinstr::Uuid::new_v6(uuid_context, uuid_node); }

    // Fields, in the order in which they are destroyed after the plugins'
    // teardown (the destructor releases the module slots explicitly before
    // the type registry).
    Version version;  // the runtime's own version
    std::string application_name;
    Version application_version;
    Version engine_version;
    std::string engine_name;
    keinstr::RwLock modules_lock;  // exclusive only to insert a module
    ModuleSlots modules;           // guarded by modules_lock
    // Plugins by UUID. Changes only during creation and teardown, so it is
    // read without a lock in between.
    std::map<keinstr::Uuid, std::unique_ptr<DynPluginEXT>> plugins;
    keinstr::TypeRegistry type_registry;
    std::uint32_t node_id;
    keinstr::ClockContext uuid_context;
    keinstr::NodeId uuid_node;

    // The zstd contexts the instance's compiles and loads reuse (see
    // ZstdContextPool); lending one out does not change the instance.
    ZstdContextPool& zstd_contexts() const noexcept { return zstd_contexts_; }

private:
    InstanceContext(const BuildInfo& build, ApplicationInfo&& app, std::uint32_t node_id);

    std::atomic<LogHook> log_hook_{&default_log_hook};
    std::atomic<LogLevelEXT> log_least_{LogLevelEXT::Trace};
    mutable ZstdContextPool zstd_contexts_;
};

// The UUID node id of a create info's node id: its four bytes little-endian,
// then two zero bytes.
keinstr::NodeId node_id_bytes(std::uint32_t node_id) noexcept;

}  // namespace kecore
