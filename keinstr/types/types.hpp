#pragma once

// The IR's types as values: integers (IType), the seven floating-point formats
// (FType), pointers, vectors, arrays, structures, function types, extension types and
// type variables. Compound types name their parts by Typeref, a handle into a
// TypeRegistry (keinstr/types/registry.hpp), never by pointer; so a Type is a small
// value, comparable and hashable, and the same type always has the same handle.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "keinstr/utils/enum_table.hpp"
#include "keinstr/utils/limits.hpp"
#include "keinstr/utils/uuid.hpp"

namespace keinstr {

// Handle of a type: either the UUID under which a TypeRegistry stores it, or a
// type-variable reference computed from the variable's number (never stored).
struct Typeref {
    Uuid uuid;

    constexpr auto operator<=>(const Typeref&) const = default;
    constexpr bool operator==(const Typeref&) const = default;

    static constexpr Typeref type_variable(std::uint16_t n) noexcept { return Typeref{type_variable_uuid(n)}; }
    constexpr bool is_type_variable() const noexcept { return is_type_variable_uuid(uuid); }
    constexpr std::optional<std::uint16_t> type_variable_number() const noexcept {
        return keinstr::type_variable_number(uuid);
    }

    // The UUID's 36-character text.
    std::string to_string() const { return uuid.to_string(); }
    // Debug form: Typeref(<uuid>).
    std::string debug() const;
};

// Name of type variable n: "A".."Z" for 0..25, "_{n}" from 26 on.
std::string wildcard_name(std::uint16_t n);

// Integer type of `num_bits` bits (valid widths 1..kMaxBits, checked by the lexer).
struct IType {
    static constexpr std::uint32_t kMaxBits = kMaxIntBits;
    std::uint32_t num_bits = 0;

    constexpr auto operator<=>(const IType&) const = default;
    constexpr bool operator==(const IType&) const = default;

    std::string to_string() const { return "i" + std::to_string(num_bits); }
    std::string debug() const;  // IType { num_bits: 32 }
};

// The floating-point kinds: value / debug name, text, bits.
// clang-format off
#define KE_FTYPE_TABLE(X)   \
    X(Fp16, "fp16", 16)         \
    X(Bf16, "bf16", 16)         \
    X(Fp32, "fp32", 32)         \
    X(Fp64, "fp64", 64)         \
    X(Fp128, "fp128", 128)      \
    X(X86Fp80, "x86_fp80", 80)  \
    X(PPCFp128, "ppc_fp128", 128)
// clang-format on
KE_DEFINE_TABLE_ENUM(FType, ftype, KE_FTYPE_TABLE)
inline constexpr std::size_t kFTypeCount = enum_count<FType>;

std::string_view ftype_text(FType t) noexcept;        // "fp32"
std::string_view ftype_debug_name(FType t) noexcept;  // "Fp32"
std::uint32_t ftype_bits(FType t) noexcept;
// Exact, case-sensitive, whole-string match of the seven texts.
std::optional<FType> ftype_from_str(std::string_view text) noexcept;

// Extension type named by a UUID with integer parameters.
struct ExtType {
    Uuid uuid;
    std::vector<std::uint32_t> params;

    bool operator==(const ExtType&) const = default;

    std::string to_string() const;  // ext<uuid> or ext<uuid>(8, 16)
    std::string debug() const;      // ExtType { uuid: ..., params: [8, 16] }
};

// Untyped pointer.
struct PtrType {
    constexpr auto operator<=>(const PtrType&) const = default;
    constexpr bool operator==(const PtrType&) const = default;
};

// Type variable number `number`.
struct WildcardType {
    std::uint16_t number = 0;
    constexpr auto operator<=>(const WildcardType&) const = default;
    constexpr bool operator==(const WildcardType&) const = default;
};

// Type of a block label.
struct LabelType {
    constexpr auto operator<=>(const LabelType&) const = default;
    constexpr bool operator==(const LabelType&) const = default;
};

// Lane count of a vector.
struct VcSize {
    enum class Kind : std::uint8_t { Fixed = 0, Scalable = 1 };
    Kind kind = Kind::Fixed;
    std::uint16_t lanes = 0;

    static constexpr VcSize fixed(std::uint16_t n) noexcept { return VcSize{Kind::Fixed, n}; }
    static constexpr VcSize scalable(std::uint16_t n) noexcept { return VcSize{Kind::Scalable, n}; }

    constexpr auto operator<=>(const VcSize&) const = default;
    constexpr bool operator==(const VcSize&) const = default;

    std::string to_string() const;  // "4" or "vscale 4"
    std::string debug() const;      // Fixed(4) / Scalable(4)
};

// Lane type of a vector; alternatives in tag order: Int, Float, Ext, Ptr, Wildcard.
struct PrimaryBasicType : std::variant<IType, FType, ExtType, PtrType, WildcardType> {
    using variant::variant;
    bool operator==(const PrimaryBasicType&) const = default;

    std::string to_string() const;
    void write(std::string& out) const;
    std::string debug() const;  // Int(IType { num_bits: 32 }), Ptr, Wildcard(3), ...
};

struct VectorType {
    VcSize size;
    PrimaryBasicType lane;
    bool operator==(const VectorType&) const = default;
};

// Primary type; alternatives in tag order: Int, Float, Ext, Ptr, Wildcard, Vector, Label.
struct PrimaryType : std::variant<IType, FType, ExtType, PtrType, WildcardType, VectorType, LabelType> {
    using variant::variant;
    bool operator==(const PrimaryType&) const = default;

    std::string to_string() const;
    void write(std::string& out) const;
    // Int(IType { num_bits: 32 }), Float(Fp32), Ext(ExtType { .. }), Ptr, Wildcard(3),
    // Vector(Fixed(4), Int(IType { num_bits: 32 })), Label
    std::string debug() const;
};

struct ArrayType {
    Typeref element;
    std::uint16_t count = 0;
    bool operator==(const ArrayType&) const = default;
    std::string debug() const;  // ArrayType { element: Typeref(..), count: 4 }
};

struct StructType {
    std::vector<Typeref> elements;
    bool packed = false;
    bool operator==(const StructType&) const = default;
    std::string debug() const;  // StructType { elements: [Typeref(..), ..], packed: false }
};

// Any type; alternatives in tag order: Primary, Array, Struct.
struct AnyType : std::variant<PrimaryType, ArrayType, StructType> {
    using variant::variant;
    bool operator==(const AnyType&) const = default;

    // Primary(..), Array(ArrayType { .. }), Struct(StructType { .. })
    std::string debug() const;
    bool is_primary() const noexcept { return index() == 0; }
    // The component handles of an aggregate (array element, struct elements); empty for
    // primary types.
    std::vector<Typeref> components() const;
};

// Convenience constructors.
inline AnyType int_type(std::uint32_t bits) { return AnyType{PrimaryType{IType{bits}}}; }
inline AnyType float_type(FType f) { return AnyType{PrimaryType{f}}; }
inline AnyType ptr_type() { return AnyType{PrimaryType{PtrType{}}}; }
inline AnyType label_type() { return AnyType{PrimaryType{LabelType{}}}; }
inline AnyType wildcard_type(std::uint16_t n) { return AnyType{PrimaryType{WildcardType{n}}}; }
inline AnyType vector_type(VcSize size, PrimaryBasicType lane) {
    return AnyType{PrimaryType{VectorType{size, std::move(lane)}}};
}
inline AnyType array_type(Typeref element, std::uint16_t count) { return AnyType{ArrayType{element, count}}; }
inline AnyType struct_type(std::vector<Typeref> elements, bool packed = false) {
    return AnyType{StructType{std::move(elements), packed}};
}

// Deterministic 64-bit hash of a type over every field, variant tags included
// (SipHash-1-3 with zero keys). Equal types hash equal.
std::uint64_t type_hash(const AnyType& ty) noexcept;

// SipHash-1-3 with the given keys.
std::uint64_t siphash13(const void* data, std::size_t len, std::uint64_t k0 = 0, std::uint64_t k1 = 0) noexcept;

}  // namespace keinstr

template <>
struct std::hash<keinstr::Typeref> {
    std::size_t operator()(const keinstr::Typeref& t) const noexcept { return std::hash<keinstr::Uuid>{}(t.uuid); }
};
template <>
struct std::hash<keinstr::AnyType> {
    std::size_t operator()(const keinstr::AnyType& t) const noexcept {
        return static_cast<std::size_t>(keinstr::type_hash(t));
    }
};

template <>
struct fmt::formatter<keinstr::IType> : fmt::formatter<std::string_view> {
    auto format(const keinstr::IType& t, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(t.to_string(), ctx);
    }
};
template <>
struct fmt::formatter<keinstr::FType> : fmt::formatter<std::string_view> {
    auto format(keinstr::FType t, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(keinstr::ftype_text(t), ctx);
    }
};
template <>
struct fmt::formatter<keinstr::PrimaryType> : fmt::formatter<std::string_view> {
    auto format(const keinstr::PrimaryType& t, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(t.to_string(), ctx);
    }
};
template <>
struct fmt::formatter<keinstr::PrimaryBasicType> : fmt::formatter<std::string_view> {
    auto format(const keinstr::PrimaryBasicType& t, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(t.to_string(), ctx);
    }
};
