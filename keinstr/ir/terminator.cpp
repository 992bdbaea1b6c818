#include "keinstr/ir/terminator.hpp"

namespace keinstr {

const Operand* KeTerminator::operand() const noexcept {
    if (const auto* b = std::get_if<Branch>(this)) return &b->condition;
    if (const auto* r = std::get_if<Ret>(this)) return r->value ? &*r->value : nullptr;
    return nullptr;
}

Operand* KeTerminator::operand_mut() noexcept {
    return const_cast<Operand*>(static_cast<const KeTerminator&>(*this).operand());
}

std::string KeTerminator::debug() const {
    if (const auto* b = std::get_if<Branch>(this)) {
        return "Branch { condition: " + b->condition.debug() + ", true_label: " + b->true_label.debug() +
               ", false_label: " + b->false_label.debug() + " }";
    }
    if (const auto* j = std::get_if<Jump>(this)) return "Jump(" + j->target.debug() + ")";
    if (const auto* r = std::get_if<Ret>(this)) {
        return r->value ? "Ret(Some(" + r->value->debug() + "))" : std::string("Ret(None)");
    }
    return "Trap";
}

}  // namespace keinstr
