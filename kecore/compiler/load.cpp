#include "kecore/compiler/load.hpp"

#include <fmt/format.h>

#include <string>
#include <utility>

#include "kecore/base/instance_context.hpp"
#include "kecore/base/log.hpp"
#include "kecore/compiler/storage.hpp"
#include "keinstr/utils/try.hpp"

namespace kecore {

std::expected<ModuleKey, KeError> load_module(const std::shared_ptr<InstanceContext>& instance,
                                              std::span<const std::uint8_t> data) {
    const InstanceContext& self = *instance;
    CompiledModuleStorage storage = KE_TRY(CompiledModuleStorage::decode(self, data));

    KECORE_LOG(self, Trace, kLogOriginCompiler, "Loaded compiled module with {} functions from {} bytes",
               storage.module.functions.size(), data.size());
    KECORE_LOG(self, Trace, kLogOriginCompiler, "Module originally compiled from: {}",
               fmt::join(storage.source_names, ", "));
    KECORE_LOG(self, Trace, kLogOriginCompiler, "Merging type registry ({} types) into instance's registry ({} types)",
               storage.type_registry->len(), self.type_registry.len());

    auto type_map = self.type_registry.merge_with(*storage.type_registry);
    if (!type_map) {
        // Damaged storage: some stored type names a type the stored registry
        // does not hold, so it can never be interned. The stored types that
        // could be interned stay in the instance's registry.
        std::string text =
            fmt::format("Failed to merge type registry: {} type(s) refer to types the stored registry does not hold",
                        type_map.error().types.size());
        KECORE_LOG(self, Error, kLogOriginCompiler, "{}", text);
        return std::unexpected(KeError(KeError::Unknown{std::move(text)}));
    }
    storage.module.remap_types(*type_map);
    return InstanceContext::add_module(instance, std::move(storage.module));
}

}  // namespace kecore
