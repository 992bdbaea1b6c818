// The axiom strategy: derives nothing; it is the registered placeholder of
// the derivation-strategy registry.
#pragma once

#include "kecore/formal/strategy.hpp"

namespace kecore {

class AxiomStrategy final : public DynDerivationStrategy {
public:
    explicit AxiomStrategy(std::weak_ptr<InstanceContext> instance) noexcept : instance_(std::move(instance)) {}

    std::string_view name() const noexcept override { return "AxiomStrategy"; }
    void derive() override {}
    const std::weak_ptr<InstanceContext>& instance() const noexcept override { return instance_; }

private:
    std::weak_ptr<InstanceContext> instance_;
};

// Never fails.
std::expected<std::shared_ptr<DynDerivationStrategy>, KeError> axiom_strategy_factory(
    std::weak_ptr<InstanceContext> instance);

}  // namespace kecore
