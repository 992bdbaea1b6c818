// Reads arbitrary bytes as a source of the textual IR into a fresh module and
// type registry. A source that loads must leave a module that verifies, and each
// of its functions goes through the type checker. A source that fails must say
// so within the source: every reported span lies inside it, start before end.
// Also, the fast parse (tokens lexed on demand, failures not kept, shortcuts)
// must agree with the parse over the whole token list that keeps its failures.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "keinstr/modules/module.hpp"
#include "keinstr/modules/parser/lexer.hpp"
#include "keinstr/modules/parser/module_grammar.hpp"
#include "keinstr/modules/parser/parse.hpp"
#include "keinstr/types/checker/type_check.hpp"
#include "keinstr/types/registry.hpp"

namespace {

using namespace keinstr;

void check_fast_parse(std::string_view source) {
    const LexOutput whole = lex(source);
    if (!whole.ok()) return;
    const std::span<const Token> tokens(whole.tokens->tokens.data(), whole.tokens->tokens.size());
    TypeRegistry registry(0, NodeId{});
    const auto resolver = std::make_shared<const FunctionResolver>(
        [](std::string name, bool external) -> std::optional<Uuid> {
            if (name.size() % 3 == 0) return std::nullopt;
            Uuid u;
            for (std::size_t i = 0; i < name.size(); ++i) u.bytes[i % 16] ^= static_cast<std::uint8_t>(name[i]);
            u.bytes[15] ^= external ? 1 : 0;
            return u;
        });
    const auto counter = [] {
        return std::make_shared<const UuidGenerator>([n = std::make_shared<std::uint32_t>(0)] {
            Uuid u;
            ++*n;
            u.bytes[0] = static_cast<std::uint8_t>(*n);
            u.bytes[1] = static_cast<std::uint8_t>(*n >> 8);
            u.bytes[2] = static_cast<std::uint8_t>(*n >> 16);
            return u;
        });
    };
    State tracked(resolver, counter(), registry);
    const ModuleParse full = parse_with_state(tokens, tracked);
    State fast(resolver, counter(), registry);
    IncrementalLexer lexer(source);
    const auto got = parse_on_demand(lexer, fast);
    const bool full_ok = full.items && full.errors.empty();
    if (got.has_value() != full_ok) __builtin_trap();
    if (!got) return;
    if (got->size() != full.items->size()) __builtin_trap();
    for (std::size_t i = 0; i < got->size(); ++i) {
        const Function* a = (*got)[i].function();
        const Function* b = (*full.items)[i].function();
        if ((a == nullptr) != (b == nullptr) || (a && !(*a == *b))) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    check_fast_parse(source);

    Module module;
    TypeRegistry registry(0, NodeId{});
    auto loaded = extend_module_from_string(module, registry, source);
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
