#pragma once

// What an instruction reads: a register, an immediate constant or an undef value of a
// type. An Operand is two words; the rare immediate and undef payloads are boxed.

#include <memory>
#include <string>
#include <variant>

#include "keinstr/ir/constants.hpp"
#include "keinstr/ir/symbols.hpp"
#include "keinstr/types/types.hpp"

namespace keinstr {

class Module;
class TypeRegistry;

// The type of an undef operand, kept out of line: undef operands are rare, and a
// type handle held in place would make every operand half as large again. A
// value like the handle it holds (deep copies, equality of the handles, noexcept
// moves that leave the source empty); an empty box reads as `Typeref{}`.
class TypeBox {
public:
    TypeBox() noexcept = default;
    // Implicit, so that an operand is built straight from a type handle.
    TypeBox(Typeref t) : ptr_(std::make_unique<Typeref>(t)) {}
    TypeBox(const TypeBox& other) : ptr_(other.ptr_ ? std::make_unique<Typeref>(*other.ptr_) : nullptr) {}
    TypeBox(TypeBox&&) noexcept = default;
    TypeBox& operator=(const TypeBox& other) {
        if (this != &other) *this = TypeBox(other);
        return *this;
    }
    TypeBox& operator=(TypeBox&&) noexcept = default;
    ~TypeBox() = default;

    const Typeref& get() const noexcept { return ptr_ ? *ptr_ : empty_value(); }
    // The held handle for modification; an empty box first takes `Typeref{}`.
    Typeref& get_mut() {
        if (!ptr_) ptr_ = std::make_unique<Typeref>();
        return *ptr_;
    }

    bool operator==(const TypeBox& other) const noexcept { return get() == other.get(); }

private:
    static const Typeref& empty_value() noexcept;

    std::unique_ptr<Typeref> ptr_;
};

// Argument of an instruction or terminator; alternatives in tag order:
// Reg (Name), Imm (an AnyConst, boxed), Undef (a Typeref, boxed). The immediate
// and the type are held out of line (see ConstBox, TypeBox) so that an operand is
// two words; read them through `as_imm` and `as_undef`.
struct Operand : std::variant<Name, ConstBox, TypeBox> {
    using variant::variant;
    bool operator==(const Operand&) const = default;

    static Operand reg(Name n) { return Operand{n}; }
    static Operand imm(AnyConst c) { return Operand{ConstBox(std::move(c))}; }
    static Operand undef(Typeref t) { return Operand{TypeBox(t)}; }

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
    const Typeref* as_undef() const noexcept {
        const TypeBox* box = std::get_if<TypeBox>(this);
        return box != nullptr ? &box->get() : nullptr;
    }
    // The type for modification (e.g. to remap it).
    Typeref* as_undef() {
        TypeBox* box = std::get_if<TypeBox>(this);
        return box != nullptr ? &box->get_mut() : nullptr;
    }

    // Display: "%7"; the constant's display; "{type} undef" with a registry, "undef"
    // without.
    std::string fmt_with(const TypeRegistry* registry = nullptr, const Module* module = nullptr) const;
    void write(std::string& out, const TypeRegistry* registry = nullptr, const Module* module = nullptr) const;
    // Reg(%3), Imm(Int(IConst { .. })), Undef(Typeref(uuid))
    std::string debug() const;
};

}  // namespace keinstr
