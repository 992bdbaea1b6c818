#include "keinstr/ir/constants.hpp"

#include <array>
#include <atomic>
#include <optional>

namespace keinstr {

std::string IConst::to_string() const { return ty.to_string() + " " + to_decimal(value); }

std::string IConst::debug() const { return "IConst { ty: " + ty.debug() + ", value: " + to_decimal(value) + " }"; }

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
        case FunctionPointerTarget::State::Named: out.append("%" + target.name); return;
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

namespace {

constexpr std::int64_t kSharedLow = -1024;
constexpr std::int64_t kSharedHigh = 1024;  // exclusive
constexpr std::size_t kSharedValues = static_cast<std::size_t>(kSharedHigh - kSharedLow);

// The row of the shared integers of `width` bits, if that width has one.
std::optional<std::size_t> shared_width_row(std::uint32_t width) noexcept {
    switch (width) {
        case 1: return 0;
        case 8: return 1;
        case 16: return 2;
        case 32: return 3;
        case 64: return 4;
        default: return std::nullopt;
    }
}

// Slots of the shared integers, filled on first use. A thread that loses the race
// to fill a slot drops its own copy and takes the winner's.
std::array<std::array<std::atomic<const AnyConst*>, kSharedValues>, 5> g_shared_integers{};

// The shared constant of `width` bits and value `value`; null when there is none.
const AnyConst* shared_integer(std::uint32_t width, std::int64_t value) {
    const auto row = shared_width_row(width);
    if (!row || value < kSharedLow || value >= kSharedHigh) return nullptr;
    std::atomic<const AnyConst*>& slot = g_shared_integers[*row][static_cast<std::size_t>(value - kSharedLow)];
    const AnyConst* existing = slot.load(std::memory_order_acquire);
    if (existing != nullptr) return existing;
    const AnyConst* fresh = new AnyConst(IConst{IType{width}, BigInt(value)});
    if (slot.compare_exchange_strong(existing, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
        return fresh;
    delete fresh;
    return existing;
}

}  // namespace

ConstBox::ConstBox(AnyConst c) {
    if (const auto* i = std::get_if<IConst>(&c); i && i->value >= kSharedLow && i->value < kSharedHigh) {
        if (const AnyConst* s = shared_integer(i->ty.num_bits, i->value.convert_to<std::int64_t>())) {
            bits_ = reinterpret_cast<std::uintptr_t>(s) | kShared;
            return;
        }
    }
    bits_ = owned_bits(new AnyConst(std::move(c)));
}

ConstBox ConstBox::integer(std::uint32_t width, std::int64_t value) {
    ConstBox box;
    if (const AnyConst* s = shared_integer(width, value)) {
        box.bits_ = reinterpret_cast<std::uintptr_t>(s) | kShared;
    } else {
        box.bits_ = owned_bits(new AnyConst(IConst{IType{width}, BigInt(value)}));
    }
    return box;
}

std::uintptr_t ConstBox::copy_bits() const {
    if (bits_ == 0 || shared()) return bits_;
    return owned_bits(new AnyConst(*held()));
}

AnyConst& ConstBox::get_mut() {
    if (bits_ == 0) {
        bits_ = owned_bits(new AnyConst());
    } else if (shared()) {
        bits_ = owned_bits(new AnyConst(*held()));
    }
    return *reinterpret_cast<AnyConst*>(bits_);
}

}  // namespace keinstr
