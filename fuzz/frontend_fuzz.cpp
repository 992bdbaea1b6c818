// Reads arbitrary bytes as a source of the textual IR into a fresh module and
// type registry. A source that loads must leave a module that verifies, and each
// of its functions goes through the type checker. A source that fails must say
// so within the source: every reported span lies inside it, start before end.
// Also, the fast parse (tokens lexed on demand, failures not kept, shortcuts)
// must agree with the parse over the whole token list that keeps its failures.
// The module's instructions go to an arena, as when compiling (the parses
// compared hold theirs on the heap).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "keinstr/ir/module.hpp"
#include "keinstr/text/parse.hpp"
#include "keinstr/passes/type_check.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/utils/arena.hpp"
#include "tests/keinstr/frontend/parse_agreement.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace keinstr;
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    if (!test::compare_parses(source, 3).agree()) __builtin_trap();

    Arena arena(2 * size);  // outlives the module
    Module module;
    TypeRegistry registry(0, NodeId{});
    auto loaded = extend_module_from_string(module, registry, source, &arena);
    if (!loaded) {
        if (const auto* pe = loaded.error().get_if<Error::ParserErrors>()) {
            if (pe->errors.empty()) __builtin_trap();
            for (const ParserError& e : pe->errors) {
                if (e.start > e.end || e.end > size || e.file) __builtin_trap();
            }
        }
        return 0;
    }
    if (!module.verify()) __builtin_trap();
    for (const auto& [uuid, function] : module.functions) {
        if (!function || function->uuid != uuid) __builtin_trap();
        (void)type_check(*function, registry);
    }
    return 0;
}
