#include "keinstr/ir/module.hpp"

#include "keinstr/ir/instruction_walk.hpp"
#include "keinstr/ir/record_fields.hpp"
#include "keinstr/ir/type_remap.hpp"

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

void Module::insert_function(Function function) { insert_function(std::make_shared<Function>(std::move(function))); }

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

namespace {

// Function::remap_types through the table, in one look at each record: the parameter
// types, the return type, the instructions' type fields and the types of the undef
// operands of instructions and terminators.
void remap_function(Function& f, const TypeRemapTable& table) {
    const auto remap = [&](Typeref& t) { table.remap(t); };
    for (auto& [name, ty] : f.params) remap(ty);
    if (f.return_type) remap(*f.return_type);
    for (auto it = f.body.begin(); it != f.body.end(); ++it) {
        prefetch_next_block(f.body, it);
        BasicBlock& block = it->second;
        for (KeInstr& instr : block.instructions) {
            std::visit(
                [&](auto& rec) {
                    record_fields::for_each_type_field(rec, remap);
                    for_each_operand(rec, [&](Operand& operand) {
                        if (Typeref* t = operand.as_undef()) remap(*t);
                    });
                },
                instr.variant());
        }
        if (Operand* operand = block.terminator.operand_mut()) {
            if (Typeref* t = operand->as_undef()) remap(*t);
        }
    }
}

}  // namespace

void Module::remap_types(const TypeMap& map) {
    const TypeRemapTable table(map);
    // A map that sends every handle to itself (loading into a registry that holds the
    // module's types under the same handles) changes nothing: no function is touched,
    // so none needs copying either.
    if (table.is_identity()) return;
    for (auto& [key, function] : functions) {
        if (!function) continue;
        // Copy on write: another holder must not see the rewrite.
        if (function.use_count() != 1) function = std::make_shared<Function>(*function);
        remap_function(*function, table);
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
