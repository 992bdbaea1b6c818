#include "kecore/ext/plugin.hpp"

namespace kecore {

constinit PluginRegistry plugin_registry;

}  // namespace kecore
