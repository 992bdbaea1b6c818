#pragma once

// The IR core's text helpers that the binding uses too: the debug form of a list of
// strings, as messages show it, and UTF-8 decoding. The binding reaches the IR core
// only through the runtime, so it takes them from here.

#include "keinstr/ir/error.hpp"
#include "keinstr/utils/utf8.hpp"

namespace kecore {

using keinstr::append_utf8;
using keinstr::debug_string_list;
using keinstr::decode_utf8;

}  // namespace kecore
