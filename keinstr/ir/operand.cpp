#include "keinstr/ir/operand.hpp"

#include "keinstr/types/registry.hpp"

namespace keinstr {

const Typeref& TypeBox::empty_value() noexcept {
    static const Typeref empty{};
    return empty;
}

void Operand::write(std::string& out, const TypeRegistry* registry, const Module* module) const {
    if (const auto* n = as_reg()) {
        out.append(n->debug());
    } else if (const auto* c = as_imm()) {
        c->write(out, module);
    } else {
        if (registry != nullptr) {
            registry->fmt(*as_undef()).write(out);
            out.push_back(' ');
        }
        out.append("undef");
    }
}

std::string Operand::fmt_with(const TypeRegistry* registry, const Module* module) const {
    std::string s;
    write(s, registry, module);
    return s;
}

std::string Operand::debug() const {
    if (const auto* n = as_reg()) return "Reg(" + n->debug() + ")";
    if (const auto* c = as_imm()) return "Imm(" + c->debug() + ")";
    return "Undef(" + as_undef()->debug() + ")";
}

}  // namespace keinstr
