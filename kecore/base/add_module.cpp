// Adding a module to an instance, and the labels log records give functions.
#include <fmt/format.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kecore/base/instance_context.hpp"
#include "kecore/base/log.hpp"
#include "kecore/base/module_context.hpp"
#include "keinstr/passes/type_check.hpp"
#include "keinstr/ir/error.hpp"

namespace kecore {

std::string function_label(const keinstr::Function& function) {
    if (function.name) return *function.name;
    return "@" + function.uuid.to_string();
}

std::string function_label_list(const keinstr::Module& module) {
    std::vector<std::string> labels;
    labels.reserve(module.functions.size());
    for (const auto& [id, function] : module.functions) {
        labels.push_back(function ? function_label(*function) : "@" + id.to_string());
    }
    return keinstr::debug_string_list(labels);
}

std::expected<ModuleKey, KeError> InstanceContext::add_module(const std::shared_ptr<InstanceContext>& self,
                                                              keinstr::Module module) {
    InstanceContext& instance = *self;
    KECORE_LOG(instance, Trace, kLogOriginBase, "Verifying module before adding to instance");
    if (auto verified = module.verify(); !verified) {
        return std::unexpected(KeError(KeError::Ir{std::move(verified.error())}));
    }

    // Each function is analysed right after it type-checks, while its instructions are
    // still in cache. The analyses are used only once every function has passed.
    keinstr::TypeCheckSession checker(instance.type_registry);
    std::vector<keinstr::FunctionAnalysis> analyses;
    analyses.reserve(module.functions.size());
    for (const auto& [id, function] : module.functions) {
        // Labels are made only for records that are kept.
        KECORE_LOG(instance, Trace, kLogOriginBase, "Type checking function '{}'", function_label(*function));
        if (auto checked = checker.check(*function); !checked) {
            KECORE_LOG(instance, Error, kLogOriginBase, "Type check failed for function '{}': {}",
                       function_label(*function), checked.error());
            return std::unexpected(KeError(KeError::Ir{std::move(checked.error())}));
        }
        analyses.push_back(keinstr::Function::analyze(function));
    }

    std::weak_ptr<InstanceContext> weak = self;
    const keinstr::Uuid uuid = instance.new_module_uuid();
    FunctionContextMap function_contexts;
    TheoremLibrary theorems;
    auto analysis = analyses.begin();
    for (const auto& [id, function] : module.functions) {
        function_contexts.insert(
            id, FunctionContext{function, std::move(*analysis++), std::make_unique<AttachedFunctions>(), id});
    }

    KECORE_LOG(instance, Info, kLogOriginBase, "Module with UUID {} added to instance. Contains functions: {}",
               uuid.to_string(), function_label_list(module));

    // The slot lock covers the insertion only. Its record is written once the
    // lock is released: a log hook may call into the host, whose other threads
    // may be adding modules to this instance meanwhile.
    std::optional<ModuleKey> key;
    {
        keinstr::ExclusiveGuard guard(instance.modules_lock);
        auto inserted = instance.modules.insert_with_key([&](const ModuleKey& k) {
            return std::make_shared<ModuleContext>(k, uuid, std::move(weak), std::move(module),
                                                   std::move(function_contexts), std::move(theorems));
        });
        if (inserted) key = *inserted;
    }
    if (!key) return std::unexpected(KeError(KeError::Unknown{std::string(SlotMapFull::kText)}));
    KECORE_LOG(instance, Trace, kLogOriginBase, "ModuleContext inserted into InstanceContext with key {}",
               key->debug());
    return *key;
}

}  // namespace kecore
