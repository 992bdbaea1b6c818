#include "keinstr/consts/constants.hpp"

namespace keinstr {

std::string IConst::to_string() const { return ty.to_string() + " " + value.str(); }

std::string IConst::debug() const { return "IConst { ty: " + ty.debug() + ", value: " + value.str() + " }"; }

std::string FConst::to_string() const { return std::string(ftype_text(ty)) + " " + value.to_string(); }

std::string FConst::debug() const {
    return "FConst { ty: " + std::string(ftype_debug_name(ty)) + ", value: " + value.debug() + " }";
}

std::string FunctionPointer::debug() const {
    return (kind == FunctionPointerKind::External ? "External(" : "Internal(") + uuid.to_string() + ")";
}

void write_function_pointer(std::string& out, const FunctionPointer& ptr, const Module* module) {
    const bool external = ptr.kind == FunctionPointerKind::External;
    if (module == nullptr) {
        out.append(external ? "ptr external " : "ptr ");
        out.append("<unresolved@" + ptr.uuid.to_string() + ">");
        return;
    }
    write_function_pointer_target(out, ptr, resolve_function_pointer(*module, ptr));
}

void write_function_pointer_target(std::string& out, const FunctionPointer& ptr, const FunctionPointerTarget& target) {
    const bool external = ptr.kind == FunctionPointerKind::External;
    out.append(external ? "ptr external " : "ptr ");
    switch (target.state) {
        case FunctionPointerTarget::State::Named:
            out.append("%" + target.name);
            return;
        case FunctionPointerTarget::State::Unnamed:
            // External functions always have a name; an unnamed one is treated as absent.
            if (!external) {
                out.append("@" + ptr.uuid.to_string());
                return;
            }
            break;
        case FunctionPointerTarget::State::Missing: break;
    }
    out.append("<invalid@" + ptr.uuid.to_string() + ">");
}

void AnyConst::write(std::string& out, const Module* module) const {
    if (const auto* i = std::get_if<IConst>(this)) {
        out.append(i->to_string());
    } else if (const auto* f = std::get_if<FConst>(this)) {
        out.append(f->to_string());
    } else {
        write_function_pointer(out, std::get<FunctionPointer>(*this), module);
    }
}

std::string AnyConst::fmt(const Module* module) const {
    std::string s;
    write(s, module);
    return s;
}

std::string AnyConst::debug() const {
    if (const auto* i = std::get_if<IConst>(this)) return "Int(" + i->debug() + ")";
    if (const auto* f = std::get_if<FConst>(this)) return "Float(" + f->debug() + ")";
    return "FuncPtr(" + std::get<FunctionPointer>(*this).debug() + ")";
}

const AnyConst& ConstBox::empty_value() noexcept {
    static const AnyConst empty{};
    return empty;
}

}  // namespace keinstr
