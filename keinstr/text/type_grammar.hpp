// Type grammar of the textual IR:
//
//   type          = primary type | array type | struct type
//   primary type  = basic type | "<" ["vscale"] Number "x" basic type ">"
//   basic type    = IType | FType | "ptr"
//   array type    = "[" Number "x" type "]"
//   struct type   = ["packed"] "{" [ type ( "," type )* ] "}"
//
// Every type is interned in the state's registry as its production completes,
// elements before the aggregate holding them, and interned types stay when an
// enclosing alternative is abandoned. Nesting is read with an explicit stack:
// any depth parses in constant call-stack space.
#pragma once

#include <cstdint>
#include <optional>

#include "keinstr/text/engine.hpp"
#include "keinstr/types/types.hpp"
#include "keinstr/utils/limits.hpp"

namespace keinstr {

// Array and vector sizes are bounded by kMaxAggregateSize (utils/limits.hpp).

// The recursive type rule, without a label of its own (the element positions of
// arrays and structs use it as it is: a failure at its start names "primary type",
// "array type" and "struct type").
std::optional<Typeref> type_parser(Parser& p);

// The type rule as every other place reads it: labelled "type".
std::optional<Typeref> labelled_type_parser(Parser& p);

// The scalar type (IType, FType or "ptr") written by the token at the position,
// interned as the type rule would intern it; the position does not move and
// nothing is recorded. None when that token is not a scalar type.
std::optional<Typeref> scalar_type_at(Parser& p);

// Primary type (label "primary type"): a basic type or a vector. Not interned here.
std::optional<PrimaryType> primary_type_parser(Parser& p);

// Basic type (no label): IType, FType or "ptr".
std::optional<PrimaryBasicType> primary_basic_type_parser(Parser& p);

// Checks a vector lane count or array element count written as `number` (a
// `Number` token): emits "{vector|array} size must be a positive non-zero
// integer" or "{vector|array} size too large: maximum allowed is 65535, got N" at
// `span` and yields 1 on failure.
enum class SizeKind : std::uint8_t { Vector, Array };
std::uint16_t check_size(Parser& p, const Token& number, TokenRange span, SizeKind kind);

}  // namespace keinstr
