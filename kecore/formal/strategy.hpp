// Derivation strategies and their registry.
//
// Strategies register themselves at load time; nothing in the runtime
// consults the registry or derives anything yet.
#pragma once

#include <expected>
#include <memory>
#include <string_view>

#include "kecore/utils/downcast.hpp"
#include "kecore/utils/error.hpp"
#include "kecore/utils/static_registry.hpp"

namespace kecore {

class InstanceContext;

class DynDerivationStrategyBase {
public:
    virtual ~DynDerivationStrategyBase() = default;
    virtual std::string_view name() const noexcept = 0;
};

class DynDerivationStrategy : public DynDerivationStrategyBase, public Downcast {
public:
    // The strategy's working step. It has no caller yet, so it takes nothing
    // and yields nothing.
    virtual void derive() = 0;
    // The strategy's back-reference to its instance.
    virtual const std::weak_ptr<InstanceContext>& instance() const noexcept = 0;
};

using DerivationStrategyFactory =
    std::expected<std::shared_ptr<DynDerivationStrategy>, KeError> (*)(std::weak_ptr<InstanceContext> instance);

struct DerivationStrategyRegistryEntry {
    std::string_view name;
    DerivationStrategyFactory factory;

    std::string_view key() const noexcept { return name; }
};

using DerivationStrategyRegistry = StaticRegistry<DerivationStrategyRegistryEntry>;
extern constinit DerivationStrategyRegistry derivation_strategy_registry;

}  // namespace kecore
