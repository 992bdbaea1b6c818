#include "keinstr/modules/module.hpp"

#include "keinstr/modules/type_remap.hpp"

namespace keinstr {

Module::Module() = default;
Module::~Module() = default;
Module::Module(const Module&) = default;
Module::Module(Module&&) noexcept = default;
Module& Module::operator=(const Module&) = default;
Module& Module::operator=(Module&&) noexcept = default;

bool Module::operator==(const Module& other) const {
    if (external_functions != other.external_functions) return false;
    if (functions.size() != other.functions.size()) return false;
    auto a = functions.begin();
    auto b = other.functions.begin();
    for (; a != functions.end(); ++a, ++b) {
        if (a->first != b->first) return false;
        if (a->second == b->second) continue;
        if (!a->second || !b->second || !(*a->second == *b->second)) return false;
    }
    return true;
}

void Module::insert_function(Function function) {
    insert_function(std::make_shared<Function>(std::move(function)));
}

void Module::insert_function(std::shared_ptr<Function> function) {
    if (!function) return;
    const Uuid key = function->uuid;
    functions.insert_or_assign(key, std::move(function));
}

std::optional<FunctionPointer> Module::find_function_uuid_by_name(std::string_view name, bool external) const {
    if (external) {
        for (const auto& [key, ext] : external_functions) {
            if (ext.name == name) return FunctionPointer::external(ext.uuid);
        }
        return std::nullopt;
    }
    for (const auto& [key, function] : functions) {
        if (function && function->name && *function->name == name) {
            return FunctionPointer::internal(function->uuid);
        }
    }
    return std::nullopt;
}

void Module::remap_types(const TypeMap& map) {
    const TypeRemapTable table(map);
    for (auto& [key, function] : functions) {
        if (!function) continue;
        // Copy on write: another holder must not see the rewrite.
        if (function.use_count() != 1) function = std::make_shared<Function>(*function);
        remap_function_types(*function, table);
    }
    for (auto& [key, ext] : external_functions) ext.remap_types(map);
}

// Resolves function pointers for the constant and operand displays.
FunctionPointerTarget resolve_function_pointer(const Module& module, const FunctionPointer& ptr) {
    FunctionPointerTarget target;
    if (ptr.kind == FunctionPointerKind::External) {
        auto it = module.external_functions.find(ptr.uuid);
        if (it != module.external_functions.end()) {
            target.state = FunctionPointerTarget::State::Named;
            target.name = it->second.name;
        }
        return target;
    }
    auto it = module.functions.find(ptr.uuid);
    if (it == module.functions.end() || !it->second) return target;
    if (it->second->name) {
        target.state = FunctionPointerTarget::State::Named;
        target.name = *it->second->name;
    } else {
        target.state = FunctionPointerTarget::State::Unnamed;
    }
    return target;
}

}  // namespace keinstr
