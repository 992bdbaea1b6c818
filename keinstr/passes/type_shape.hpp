// What the typing rules need to know about one type, copied out of the registry so
// that no read handle is alive while the checker interns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "keinstr/types/registry.hpp"
#include "keinstr/types/types.hpp"

namespace keinstr {

struct TypeShape {
    enum class Kind : std::uint8_t {
        Unknown,  // not registered, or a type-variable handle
        Int,
        Float,
        Ext,
        Ptr,
        Wildcard,
        Vector,
        Label,
        Array,
        Struct,
    };

    Kind kind = Kind::Unknown;
    std::uint32_t bits = 0;   // Int: width
    FType fp = FType::Fp16;   // Float: kind
    VcSize size{};            // Vector: lane kind and count
    PrimaryBasicType lane{};  // Vector: lane type
    std::size_t count = 0;    // Array: element count; Struct: number of elements
    Typeref element{};        // Array: element type

    bool is_int() const noexcept { return kind == Kind::Int; }
    bool is_i1() const noexcept { return kind == Kind::Int && bits == 1; }
    bool is_float() const noexcept { return kind == Kind::Float; }
    bool is_ptr() const noexcept { return kind == Kind::Ptr; }
    bool is_vector() const noexcept { return kind == Kind::Vector; }
    bool is_known() const noexcept { return kind != Kind::Unknown; }

    bool lane_is_int() const noexcept { return is_vector() && std::holds_alternative<IType>(lane); }
    bool lane_is_i1() const noexcept {
        const auto* i = is_vector() ? std::get_if<IType>(&lane) : nullptr;
        return i != nullptr && i->num_bits == 1;
    }
    bool lane_is_float() const noexcept { return is_vector() && std::holds_alternative<FType>(lane); }

    // Both scalar, or both vectors of equal lane kind and lane count. A type that is not
    // a vector (an unknown one included) counts as scalar.
    bool same_shape(const TypeShape& o) const noexcept {
        if (is_vector() != o.is_vector()) return false;
        return !is_vector() || size == o.size;
    }
};

// The element of a type for the cast rules: the type itself when scalar, its lane type
// when a vector.
struct CastElement {
    TypeShape::Kind kind = TypeShape::Kind::Unknown;
    std::uint32_t bits = 0;  // Int: width
    FType fp = FType::Fp16;  // Float: kind

    static CastElement of(const TypeShape& s) noexcept;
    bool is_int() const noexcept { return kind == TypeShape::Kind::Int; }
    bool is_float() const noexcept { return kind == TypeShape::Kind::Float; }
};

// Copies the shape of `t` out of the registry (the read handle is dropped on return).
// When `element_index` names an element of a struct, `element` receives that element.
TypeShape describe_type(const TypeRegistry& registry, Typeref t,
                        std::size_t element_index = std::numeric_limits<std::size_t>::max());

// The elements of `t` when it is a registered struct (copied out; the read handle is
// dropped on return).
std::optional<std::vector<Typeref>> struct_elements(const TypeRegistry& registry, Typeref t);

// The largest valid index of an aggregate with `count` elements. An aggregate without
// elements has no valid index; its largest index saturates at 0 instead of wrapping.
constexpr std::size_t largest_index(std::size_t count) noexcept { return count == 0 ? 0 : count - 1; }

// The lane type of a vector as a primary type of its own.
AnyType lane_as_type(const PrimaryBasicType& lane);

// Byte size of a floating-point kind, which orders kinds for fptrunc and fpext.
std::uint32_t ftype_byte_size(FType f) noexcept;

}  // namespace keinstr
