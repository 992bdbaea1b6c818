// Limits that verification enforces on every function (each maximum is accepted).
#pragma once

#include <cstddef>

#include "keinstr/ir/error.hpp"
#include "keinstr/ir/function.hpp"
#include "keinstr/ir/module.hpp"
#include "keinstr/utils/limits.hpp"

namespace keinstr {

// The size limits a function is verified against (kMaxBasicBlocks ...) are in
// keinstr/utils/limits.hpp.

}  // namespace keinstr
