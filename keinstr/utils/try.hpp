#pragma once

// Error propagation for functions that return std::expected.
//
//   KE_TRY(read_value(r, out));                      // a void result: go on or return
//   const Typeref t = KE_TRY(c.operand_type(op));    // a value: take it or return
//
// KE_TRY(expr) evaluates `expr` (a std::expected) once. On failure the enclosing
// function returns std::unexpected(error), so the error converts to the enclosing
// function's error type where an implicit conversion exists; on success the macro is
// the value (moved out), or nothing for std::expected<void, E>.
//
// It is a statement expression (a g++ and clang extension): it cannot be used in a
// constant expression or a default argument, and the failure branch is marked
// unlikely, as the hand-written propagations it replaces were on the hot paths.

#include <expected>
#include <utility>

#define KE_TRY(expr)                                                   \
    ({                                                                 \
        auto&& ke_try_result_ = (expr);                                \
        if (!ke_try_result_) [[unlikely]]                              \
            return std::unexpected(std::move(ke_try_result_).error()); \
        *std::move(ke_try_result_);                                    \
    })
