// Parsing into an arena: the compiler's way of holding a module's instruction
// arrays must give the module the heap gives, and nothing copied out of it may
// depend on the arena.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "keinstr/ir/printer.hpp"
#include "keinstr/utils/arena.hpp"
#include "tests/keinstr/frontend/frontend_fixture.hpp"

namespace keinstr::test {
namespace {

// Functions with a loop (phi, float and wide constants that are not shared,
// calls by name) and, every 50th, one block long enough to take an arena chunk
// of its own.
std::string big_program(int functions) {
    std::string text;
    for (int i = 0; i < functions; ++i) {
        const std::string callee = i == 0 ? "f0" : fmt::format("f{}", i - 1);
        text += fmt::format(
            "define i64 f{0}(%n: i64, %p: ptr) {{\n"
            "entry:\n"
            "  %s: ptr = alloca i64 4, align 8\n"
            "  jump head\n"
            "head:\n"
            "  %i: i64 = phi [i64 0, entry], [%j, body]\n"
            "  %x: fp64 = phi [fp64 {0}.25, entry], [%y, body]\n"
            "  %c: i1 = icmp.slt %i, %n\n"
            "  branch %c, body, done\n"
            "body:\n"
            "  %y: fp64 = fmul %x, fp64 1.5\n"
            "  %k: i64 = iadd.wrap %i, i64 {1}\n"
            "  %g: ptr = getelementptr i64, %p, %k\n"
            "  store %g, %k, align 8\n"
            "  %r: i64 = invoke ptr {2}, %k, %g\n"
            "  %j: i64 = iadd.wrap %i, i64 1\n"
            "  jump head\n"
            "done:\n",
            i, 1'000'000'007LL * (i + 1), callee);
        if (i % 50 == 0) {
            std::string previous = "%n";
            for (int k = 0; k < 300; ++k) {
                text += fmt::format("  %t{}: i64 = xor {}, i64 {}\n", k, previous, k * 4099);
                previous = fmt::format("%t{}", k);
            }
            text += fmt::format("  ret {}\n}}\n\n", previous);
        } else {
            text += "  ret %i\n}\n\n";
        }
    }
    return text;
}

// A function's instructions and terminators; with `module`, function pointers
// by name (so that the random UUIDs of two parses do not matter).
std::string function_text(const Function& f, const TypeRegistry& registry, const Module* module) {
    std::string text;
    for (const auto& [label, block] : f.body) {
        text += fmt::format("block {}\n", label.id);
        for (const KeInstr& instr : block.instructions) {
            write_instr(text, instr, registry, module);
            text += '\n';
        }
        write_terminator(text, block.terminator, &registry, module);
        text += '\n';
    }
    return text;
}

std::map<std::string, std::string> texts(const Module& module, const TypeRegistry& registry) {
    std::map<std::string, std::string> out;
    for (const auto& [uuid, f] : module.functions) out[f->name.value_or("?")] = function_text(*f, registry, &module);
    return out;
}

const Function* named(const Module& module, std::string_view name) {
    for (const auto& [uuid, f] : module.functions)
        if (f->name && *f->name == name) return f.get();
    return nullptr;
}

TEST(ArenaParse, GivesTheModuleOfTheHeap) {
    const std::string source = big_program(1200);
    ASSERT_GT(source.size(), std::size_t{1} << 19);  // enough for chunks in huge pages

    Frontend heap;
    ASSERT_TRUE(heap.parse(source));

    TypeRegistry registry{0, NodeId{}};
    std::optional<Function> copy;
    std::string copied_text;
    {
        Arena arena(2 * source.size());
        Module module;
        auto parsed = extend_module_from_string(module, registry, source, &arena);
        ASSERT_TRUE(parsed) << parsed.error().message();
        EXPECT_GE(arena.huge_chunk_count(), 1u);

        EXPECT_EQ(texts(module, registry), texts(heap.module, heap.registry));
        const Function* f = named(module, "f100");
        ASSERT_NE(f, nullptr);
        for (const auto& [label, block] : f->body) EXPECT_EQ(block.instructions.get_allocator().arena(), &arena);
        // The copy is all that outlives the module and the arena.
        copy = *f;
        copied_text = function_text(*f, registry, nullptr);
    }
    EXPECT_EQ(function_text(*copy, registry, nullptr), copied_text);
    for (const auto& [label, block] : copy->body) EXPECT_EQ(block.instructions.get_allocator().arena(), nullptr);
}

TEST(ArenaParse, FailuresLeaveNothingBehind) {
    // A syntax error after many functions, and a verification failure with the
    // functions already inserted: the arena goes after the module either way
    // (the sanitizer build checks that nothing dangles or leaks).
    const std::string good = big_program(700);
    for (const std::string& source :
         {good + "define i64 broken( {\n", good + "define i64 g(%a: i64) {\nentry:\n  ret %undefined\n}\n"}) {
        Arena arena(2 * source.size());
        Frontend f;
        EXPECT_FALSE(extend_module_from_string(f.module, f.registry, source, &arena));
    }
}

}  // namespace
}  // namespace keinstr::test
