#include "keinstr/passes/type_shape.hpp"

#include <type_traits>
#include <variant>

namespace keinstr {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void fill_primary(TypeShape& s, const PrimaryType& p) {
    using K = TypeShape::Kind;
    std::visit(Overloaded{
                   [&](const IType& i) {
                       s.kind = K::Int;
                       s.bits = i.num_bits;
                   },
                   [&](const FType& f) {
                       s.kind = K::Float;
                       s.fp = f;
                   },
                   [&](const ExtType&) { s.kind = K::Ext; },
                   [&](const PtrType&) { s.kind = K::Ptr; },
                   [&](const WildcardType&) { s.kind = K::Wildcard; },
                   [&](const VectorType& v) {
                       s.kind = K::Vector;
                       s.size = v.size;
                       s.lane = v.lane;
                   },
                   [&](const LabelType&) { s.kind = K::Label; },
               },
               static_cast<const PrimaryType::variant&>(p));
}

}  // namespace

CastElement CastElement::of(const TypeShape& s) noexcept {
    using K = TypeShape::Kind;
    CastElement e;
    if (!s.is_vector()) {
        e.kind = s.kind;
        e.bits = s.bits;
        e.fp = s.fp;
        return e;
    }
    std::visit(Overloaded{
                   [&](const IType& i) {
                       e.kind = K::Int;
                       e.bits = i.num_bits;
                   },
                   [&](const FType& f) {
                       e.kind = K::Float;
                       e.fp = f;
                   },
                   [&](const ExtType&) { e.kind = K::Ext; },
                   [&](const PtrType&) { e.kind = K::Ptr; },
                   [&](const WildcardType&) { e.kind = K::Wildcard; },
               },
               static_cast<const PrimaryBasicType::variant&>(s.lane));
    return e;
}

TypeShape describe_type(const TypeRegistry& registry, Typeref t, std::size_t element_index) {
    TypeShape s;
    const auto handle = registry.get(t);
    if (!handle) return s;
    const AnyType& ty = handle->get();
    if (const auto* p = std::get_if<PrimaryType>(&ty)) {
        fill_primary(s, *p);
    } else if (const auto* a = std::get_if<ArrayType>(&ty)) {
        s.kind = TypeShape::Kind::Array;
        s.count = a->count;
        s.element = a->element;
    } else if (const auto* st = std::get_if<StructType>(&ty)) {
        s.kind = TypeShape::Kind::Struct;
        s.count = st->elements.size();
        if (element_index < st->elements.size()) s.element = st->elements[element_index];
    }
    return s;
}

std::optional<std::vector<Typeref>> struct_elements(const TypeRegistry& registry, Typeref t) {
    const auto handle = registry.get(t);
    if (!handle) return std::nullopt;
    const auto* st = std::get_if<StructType>(&handle->get());
    if (!st) return std::nullopt;
    return st->elements;
}

AnyType lane_as_type(const PrimaryBasicType& lane) {
    return std::visit([](const auto& l) { return AnyType{PrimaryType{l}}; },
                      static_cast<const PrimaryBasicType::variant&>(lane));
}

std::uint32_t ftype_byte_size(FType f) noexcept {
    switch (f) {
        case FType::Fp16:
        case FType::Bf16: return 2;
        case FType::Fp32: return 4;
        case FType::Fp64: return 8;
        case FType::X86Fp80: return 10;
        case FType::Fp128:
        case FType::PPCFp128: return 16;
    }
    return 0;
}

}  // namespace keinstr
