// Extension plugins and the plugin registry.
//
// A plugin is enabled per instance by name (the create info's
// `enabled_extensions`), built by its registry entry's factory from the
// create info's settings list, and owned by the instance, which attaches,
// initialises and finally tears it down.
#pragma once

#include <expected>
#include <memory>
#include <string_view>

#include "kecore/utils/downcast.hpp"
#include "kecore/utils/error.hpp"
#include "kecore/utils/host_objects.hpp"
#include "kecore/utils/opaque.hpp"
#include "kecore/utils/static_registry.hpp"
#include "keinstr/utils/uuid.hpp"

namespace kecore {

class InstanceContext;

// Lifecycle of a plugin; every operation takes the plugin mutably and is
// called by the owning instance, one at a time.
class PluginEXT {
public:
    virtual ~PluginEXT() = default;
    // Stores the back-reference to the instance, replacing any earlier one.
    virtual void attach_to(std::weak_ptr<InstanceContext> instance) = 0;
    // Start-up, once the instance is shared and every plugin is attached.
    virtual std::expected<void, KeError> initialize() = 0;
    // Shut-down, when the instance is destroyed.
    virtual void teardown() = 0;
};

// How an instance holds a plugin.
class DynPluginEXT : public Downcast, public PluginEXT {
public:
    // These return the values of the plugin's registry entry.
    virtual keinstr::Uuid uuid() const noexcept = 0;
    virtual std::string_view name() const noexcept = 0;
    virtual std::string_view description() const noexcept = 0;

    // The host objects the plugin keeps alive for a host binding, each
    // visited once; a non-zero result of the visitor stops the walk.
    virtual int visit_host_objects(HostObjectVisitor& visitor) const {
        (void)visitor;
        return 0;
    }
    // Drops them (the host's collector breaks a cycle through them); the
    // plugin goes on working without them.
    virtual void clear_host_objects() noexcept {}
};

using PluginFactory = std::expected<std::unique_ptr<DynPluginEXT>, KeError> (*)(OpaqueList& ext);

// One static descriptor per plugin type.
struct PluginRegistryEntry {
    std::string_view name;         // matched against `enabled_extensions`
    std::string_view description;  // human-readable
    PluginFactory factory;         // builds the plugin, taking its settings out of the list
    keinstr::Uuid uuid;            // identity; key of the instance's plugin map

    std::string_view key() const noexcept { return name; }
};

using PluginRegistry = StaticRegistry<PluginRegistryEntry>;
extern constinit PluginRegistry plugin_registry;

}  // namespace kecore
