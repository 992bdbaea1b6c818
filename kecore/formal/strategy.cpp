#include "kecore/formal/strategy.hpp"

namespace kecore {

constinit DerivationStrategyRegistry derivation_strategy_registry;

}  // namespace kecore
