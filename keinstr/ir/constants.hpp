#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "keinstr/types/types.hpp"
#include "keinstr/utils/bigint.hpp"
#include "keinstr/utils/decimal.hpp"
#include "keinstr/utils/uuid.hpp"

namespace keinstr {

class Module;

// Kind of a function pointer: 0 internal, 1 external.
enum class FunctionPointerKind : std::uint8_t { Internal = 0, External = 1 };

// "internal" / "external"
std::string_view function_pointer_kind_text(FunctionPointerKind k) noexcept;

// Integer constant: width and arbitrary-precision signed value (not related to the width).
struct IConst {
    IType ty;
    BigInt value;

    bool operator==(const IConst&) const = default;

    // The i64 constant holding `v` (not wrapped into the signed range).
    static IConst from(std::uint64_t v) { return IConst{IType{64}, BigInt(v)}; }

    std::string to_string() const;  // "i32 -5"
    std::string debug() const;      // IConst { ty: IType { num_bits: 32 }, value: -5 }
};

// Floating-point constant: kind and decimal value.
struct FConst {
    FType ty = FType::Fp64;
    Decimal value;

    bool operator==(const FConst&) const = default;

    std::string to_string() const;  // "fp64 2.5"
    std::string debug() const;      // FConst { ty: Fp64, value: Decimal("2.5") }
};

// Function pointer: Internal names a function of the same module, External an entry of
// its external-function map (both by UUID).
struct FunctionPointer {
    FunctionPointerKind kind = FunctionPointerKind::Internal;
    Uuid uuid;

    auto operator<=>(const FunctionPointer&) const = default;
    bool operator==(const FunctionPointer&) const = default;

    static FunctionPointer internal(Uuid u) noexcept { return {FunctionPointerKind::Internal, u}; }
    static FunctionPointer external(Uuid u) noexcept { return {FunctionPointerKind::External, u}; }

    std::string debug() const;  // Internal(uuid) / External(uuid)
};

// What a module says about the target of a function pointer.
struct FunctionPointerTarget {
    enum class State : std::uint8_t {
        Missing,  // the UUID is not a key of the map the pointer's kind selects
        Unnamed,  // present, without a name (internal functions only)
        Named,    // present, with `name`
    };
    State state = State::Missing;
    std::string name;
};

// Hook completed by the module library (keinstr/ir): looks `ptr.uuid` up, by exact
// key, in `module`'s function map (Internal) or external-function map (External).
// The library's own definition replaces a placeholder that reports every target missing.
FunctionPointerTarget resolve_function_pointer(const Module& module, const FunctionPointer& ptr);

// Immediate constant; alternatives in tag order: Int, Float, FuncPtr.
struct AnyConst : std::variant<IConst, FConst, FunctionPointer> {
    using variant::variant;
    bool operator==(const AnyConst&) const = default;

    // Display; the module, when given, resolves function pointers to names:
    // "i32 -5", "fp64 2.5", "ptr %name", "ptr @uuid", "ptr <invalid@uuid>",
    // "ptr <unresolved@uuid>", "ptr external %name", "ptr external <invalid@uuid>",
    // "ptr external <unresolved@uuid>".
    std::string fmt(const Module* module = nullptr) const;
    void write(std::string& out, const Module* module = nullptr) const;
    // Int(IConst { .. }), Float(FConst { .. }), FuncPtr(Internal(uuid))
    std::string debug() const;
};

// An immediate constant kept out of line. Big integers and decimals make an
// `AnyConst` several times larger than a register or a type handle; boxing it keeps
// every operand (and so every instruction) small, and only immediates pay for the
// constant's size.
//
// Integers of the usual widths (1, 8, 16, 32, 64 bits) with small values (-1024 to
// 1023), which most immediates are, are not boxed one by one: every box holding
// one points at a single shared constant, made on first use and kept for the
// life of the process (so it is never freed while a box may point at it).
//
// A value like the constant it holds: copies are deep (or share the shared
// constant), equality compares the constants, moves are noexcept and leave the
// source empty. An empty box (default constructed or moved from) reads as
// `AnyConst{}`, so it compares equal to a box holding that constant.
class ConstBox {
public:
    ConstBox() noexcept = default;
    // Implicit, so that an operand is built straight from a constant.
    ConstBox(AnyConst c);
    ConstBox(const ConstBox& other) : bits_(other.copy_bits()) {}
    ConstBox(ConstBox&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
    ConstBox& operator=(const ConstBox& other) {
        if (this != &other) *this = ConstBox(other);
        return *this;
    }
    ConstBox& operator=(ConstBox&& other) noexcept {
        if (this != &other) {
            release();
            bits_ = std::exchange(other.bits_, 0);
        }
        return *this;
    }
    ~ConstBox() { release(); }

    // The integer constant of `width` bits and value `value` (what the box of
    // `IConst{IType{width}, value}` holds, without making that constant when it is
    // shared).
    static ConstBox integer(std::uint32_t width, std::int64_t value);

    const AnyConst& get() const noexcept { return bits_ != 0 ? *held() : empty_value(); }
    const AnyConst& operator*() const noexcept { return get(); }
    const AnyConst* operator->() const noexcept { return &get(); }
    // The held constant for modification; an empty box first takes `AnyConst{}`,
    // a box of a shared constant first takes a copy of its own.
    AnyConst& get_mut();

    bool operator==(const ConstBox& other) const { return get() == other.get(); }

private:
    static const AnyConst& empty_value() noexcept;

    // The address of the constant, with the low bit set when it is shared (not
    // owned by this box). Zero: empty.
    static constexpr std::uintptr_t kShared = 1;
    bool shared() const noexcept { return (bits_ & kShared) != 0; }
    const AnyConst* held() const noexcept { return reinterpret_cast<const AnyConst*>(bits_ & ~kShared); }
    static std::uintptr_t owned_bits(AnyConst* c) noexcept { return reinterpret_cast<std::uintptr_t>(c); }
    std::uintptr_t copy_bits() const;
    void release() noexcept {
        if (bits_ != 0 && !shared()) delete reinterpret_cast<AnyConst*>(bits_);
        bits_ = 0;
    }

    std::uintptr_t bits_ = 0;
};

// Display of a function pointer (the FuncPtr case of AnyConst::fmt).
void write_function_pointer(std::string& out, const FunctionPointer& ptr, const Module* module);
// The same once the module has been asked about the target.
void write_function_pointer_target(std::string& out, const FunctionPointer& ptr, const FunctionPointerTarget& target);

}  // namespace keinstr
