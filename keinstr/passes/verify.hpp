// Limits that verification enforces on every function (each maximum is accepted).
#pragma once

#include <cstddef>

#include "keinstr/ir/error.hpp"
#include "keinstr/ir/function.hpp"
#include "keinstr/ir/module.hpp"

namespace keinstr {

inline constexpr std::size_t kMaxBasicBlocks = 65536;
inline constexpr std::size_t kMaxBlockInstructions = 65536;
inline constexpr std::size_t kMaxFunctionInstructions = 1000000;
inline constexpr std::size_t kMaxParameters = 4096;
inline constexpr std::size_t kMaxWildcardTypes = 256;

}  // namespace keinstr
