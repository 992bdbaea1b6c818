#include "kecore/base/api.hpp"

#include "kecore/base/instance_context.hpp"

namespace kecore {

std::optional<ModuleSourceType> module_source_type_from_value(std::uint32_t value) noexcept {
    if (value == static_cast<std::uint32_t>(ModuleSourceType::Assembly)) return ModuleSourceType::Assembly;
    return std::nullopt;
}

std::expected<std::shared_ptr<InstanceContext>, KeError> create_instance(InstanceCreateInfo info) {
    return InstanceContext::create(std::move(info));
}

}  // namespace kecore
