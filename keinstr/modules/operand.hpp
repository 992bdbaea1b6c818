#pragma once

#include <string>
#include <variant>

#include "keinstr/consts/constants.hpp"
#include "keinstr/modules/symbols.hpp"
#include "keinstr/types/types.hpp"

namespace keinstr {

class Module;
class TypeRegistry;

// Argument of an instruction or terminator; alternatives in tag order:
// Reg (Name), Imm (an AnyConst, boxed), Undef (Typeref). The immediate is held out
// of line (see ConstBox) so that an operand is three words; read it through
// `as_imm`.
struct Operand : std::variant<Name, ConstBox, Typeref> {
    using variant::variant;
    bool operator==(const Operand&) const = default;

    static Operand reg(Name n) { return Operand{n}; }
    static Operand imm(AnyConst c) { return Operand{ConstBox(std::move(c))}; }
    static Operand undef(Typeref t) { return Operand{t}; }

    bool is_reg() const noexcept { return index() == 0; }
    bool is_imm() const noexcept { return index() == 1; }
    bool is_undef() const noexcept { return index() == 2; }
    const Name* as_reg() const noexcept { return std::get_if<Name>(this); }
    Name* as_reg() noexcept { return std::get_if<Name>(this); }
    const AnyConst* as_imm() const noexcept {
        const ConstBox* box = std::get_if<ConstBox>(this);
        return box != nullptr ? &box->get() : nullptr;
    }
    // The immediate for modification (e.g. to repoint a function pointer).
    AnyConst* as_imm_mut() {
        ConstBox* box = std::get_if<ConstBox>(this);
        return box != nullptr ? &box->get_mut() : nullptr;
    }
    const Typeref* as_undef() const noexcept { return std::get_if<Typeref>(this); }
    Typeref* as_undef() noexcept { return std::get_if<Typeref>(this); }

    // Display: "%7"; the constant's display; "{type} undef" with a registry, "undef"
    // without.
    std::string fmt_with(const TypeRegistry* registry = nullptr, const Module* module = nullptr) const;
    void write(std::string& out, const TypeRegistry* registry = nullptr, const Module* module = nullptr) const;
    // Reg(%3), Imm(Int(IConst { .. })), Undef(Typeref(uuid))
    std::string debug() const;
};

}  // namespace keinstr
