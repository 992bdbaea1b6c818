// The common fields of the instruction records (`dest`, `ty`, `in_ty`) read straight
// from a record, for passes that want several of them per instruction from one visit.
// They mean what KeInstr's `destination`, `destination_type` and `referenced_types`
// mean.
#pragma once

#include <optional>
#include <type_traits>

#include "keinstr/ir/instr.hpp"

namespace keinstr::record_fields {

template <class T>
std::optional<T> optional_field(const T& field) {
    return field;
}
template <class T>
std::optional<T> optional_field(const std::optional<T>& field) {
    return field;
}

// The register the record defines, if any.
template <class Rec>
std::optional<Name> destination(const Rec& rec) {
    if constexpr (requires { rec.dest; }) {
        return optional_field(rec.dest);
    } else {
        return std::nullopt;
    }
}

// The type of that register.
template <class Rec>
std::optional<Typeref> destination_type(const Rec& rec) {
    if constexpr (requires { rec.ty; }) {
        return optional_field(rec.ty);
    } else {
        return std::nullopt;
    }
}

// Calls f(Typeref&) (or f(const Typeref&) on a const record) for every type field in
// `referenced_types` order: `ty` when present, then `in_ty`.
template <class Rec, class F>
void for_each_type_field(Rec& rec, F&& f) {
    if constexpr (requires { rec.ty; }) {
        if constexpr (requires { rec.ty.has_value(); }) {
            if (rec.ty) f(*rec.ty);
        } else {
            f(rec.ty);
        }
    }
    if constexpr (requires { rec.in_ty; }) f(rec.in_ty);
}

}  // namespace keinstr::record_fields
