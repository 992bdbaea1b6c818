#include "keinstr/ir/function.hpp"

#include <variant>

#include "keinstr/ir/record_fields.hpp"

namespace keinstr {

namespace {

void remap_optional(std::optional<Typeref>& t, const TypeMap& map) {
    if (t) remap_typeref(*t, map);
}

void add_type_variable(std::set<std::uint16_t>& out, const Typeref& t) {
    if (auto n = t.type_variable_number()) out.insert(*n);
}

}  // namespace

Function Function::default_function() {
    Function f;
    f.uuid = Uuid::new_v4();
    f.body.emplace(Label{0}, BasicBlock{Label{0}, {}, Trap{}});
    return f;
}

std::string Function::display_name() const { return name ? *name : uuid.to_string(); }

bool Function::should_be_meta_function() const {
    for (const auto& [label, block] : body) {
        for (const auto& instr : block.instructions) {
            if (instr.is_meta()) return true;
        }
    }
    return false;
}

void Function::generate_wildcard_types(std::set<std::uint16_t>& out) const {
    out.clear();
    for (const auto& [name, ty] : params) add_type_variable(out, ty);
    for (const auto& [label, block] : body) {
        for (const auto& instr : block.instructions) {
            for (const Typeref& t : instr.referenced_types()) add_type_variable(out, t);
        }
    }
}

namespace {

// The type fields an instruction's `referenced_types` yields (`ty` when present,
// then `in_ty`) and the type of every undef operand of the function, through
// `remap(Typeref&)`.
template <class Remap>
void remap_function(Function& f, const Remap& remap) {
    for (auto& [name, ty] : f.params) remap(ty);
    if (f.return_type) remap(*f.return_type);
    for (auto& [label, block] : f.body) {
        for (auto& instr : block.instructions) {
            std::visit([&](auto& rec) { record_fields::for_each_type_field(rec, remap); }, instr.variant());
            // Typed undef operands name registry handles as well; leaving them
            // would keep handles of the registry the function came from.
            for (Operand& operand : instr.operands_mut()) {
                if (Typeref* t = operand.as_undef()) remap(*t);
            }
        }
        if (Operand* operand = block.terminator.operand_mut()) {
            if (Typeref* t = operand->as_undef()) remap(*t);
        }
    }
}

}  // namespace

void Function::remap_types(const TypeMap& map) {
    remap_function(*this, [&](Typeref& t) { remap_typeref(t, map); });
}

void ExternalFunction::remap_types(const TypeMap& map) {
    for (auto& ty : params) remap_typeref(ty, map);
    remap_optional(return_type, map);
}

}  // namespace keinstr
