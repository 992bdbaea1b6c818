#include "kecore/formal/axioms.hpp"

namespace kecore {

std::expected<std::shared_ptr<DynDerivationStrategy>, KeError> axiom_strategy_factory(
    std::weak_ptr<InstanceContext> instance) {
    return std::make_shared<AxiomStrategy>(std::move(instance));
}

namespace {
const Registrar<DerivationStrategyRegistryEntry> kAxiomStrategyRegistrar{derivation_strategy_registry,
                                                                         {"AxiomStrategy", &axiom_strategy_factory}};
}  // namespace

}  // namespace kecore
