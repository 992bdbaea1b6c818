#include "kecore/base/module_key.hpp"

#include <fmt/format.h>

namespace kecore {

std::string ModuleKey::debug() const {
    if (is_null()) return "ModuleKey(null)";
    return fmt::format("ModuleKey({}v{})", index_, version_);
}

}  // namespace kecore
