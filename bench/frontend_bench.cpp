// Throughput of the whole front end: a generated source of about 10 MB (many
// functions with branches, phis, memory, calls through function pointers and a
// few meta functions) turned into a verified module. Reports bytes per second of
// source text; also reports the lexing share on its own.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "keinstr/ir/module.hpp"
#include "keinstr/text/lexer.hpp"
#include "keinstr/text/parse.hpp"
#include "keinstr/types/registry.hpp"

namespace {

using namespace keinstr;

constexpr std::size_t kTargetBytes = 10u << 20;

// One function: a chain of arithmetic over a pool of registers, a diamond with a
// phi, memory traffic, and a call to the previous function through a pointer.
void append_function(std::string& out, std::size_t k, std::uint32_t& seed) {
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) & 0xFFFF;
    };
    const bool meta = k % 64 == 63;
    out += fmt::format("define i64 {}f{}(%a: i64, %b: i64, %p: ptr) {{\nentry:\n", meta ? "!" : "", k);
    constexpr int kChain = 24;
    out += "  %c0: i64 = iadd.wrap %a, %b\n";
    for (int i = 1; i < kChain; ++i) {
        const unsigned r = next();
        const unsigned src = r % static_cast<unsigned>(i);
        switch (r % 6) {
            case 0: out += fmt::format("  %c{}: i64 = iadd.wrap %c{}, i64 {}\n", i, src, r); break;
            case 1: out += fmt::format("  %c{}: i64 = imul.wrap %c{}, %c{}\n", i, i - 1, src); break;
            case 2: out += fmt::format("  %c{}: i64 = xor %c{}, %b ; mix\n", i, src); break;
            case 3: out += fmt::format("  %c{}: i64 = isht.lsl %c{}, i64 {}\n", i, i - 1, r % 63); break;
            case 4: out += fmt::format("  %c{}: i64 = isub.wrap %c{}, %a\n", i, i - 1); break;
            default: out += fmt::format("  %c{}: i64 = and %c{}, i64 -{}\n", i, src, r); break;
        }
    }
    out += fmt::format("  %cmp: i1 = icmp.slt %c{}, %b\n  branch %cmp, then, else\n", kChain - 1);
    out += "then:\n  %t: i64 = load %p, align 8\n  store %p, %t, align 8\n";
    if (k == 0) {
        out += "  %call: i64 = iadd.wrap %t, i64 1\n";
    } else {
        out += fmt::format("  %call: i64 = invoke ptr f{}, %t, %a, %p\n", k - 1);
    }
    out += fmt::format("  jump join\n\nelse:\n  %e: i64 = isub.wrap %c{}, i64 1\n  jump join\n", kChain - 1);
    out += "join:\n  %r: i64 = phi [%call, then], [%e, else]\n";
    if (meta) out += "  %pos: i1 = icmp.sge %r, i64 0\n  !assert %pos\n";
    out += "  ret %r\n}\n\n";
}

std::string generate_source(std::size_t target) {
    std::string out;
    out.reserve(target + 4096);
    std::uint32_t seed = 12345;
    for (std::size_t k = 0; out.size() < target; ++k) append_function(out, k, seed);
    return out;
}

const std::string& source() {
    static const std::string text = generate_source(kTargetBytes);
    return text;
}

void BM_FrontendModule(benchmark::State& bs) {
    const std::string& text = source();
    std::size_t functions = 0;
    for (auto _ : bs) {
        auto module = std::make_unique<Module>();
        auto registry = std::make_unique<TypeRegistry>(0, NodeId{});
        auto r = extend_module_from_string(*module, *registry, text);
        if (!r) {
            bs.SkipWithError(("generated source does not load: " + r.error().message().substr(0, 300)).c_str());
            return;
        }
        functions = module->functions.size();
        benchmark::DoNotOptimize(module->functions);
        // Tearing the module down is not part of building it.
        bs.PauseTiming();
        module.reset();
        registry.reset();
        bs.ResumeTiming();
    }
    bs.SetBytesProcessed(static_cast<std::int64_t>(bs.iterations() * text.size()));
    bs.counters["functions"] = static_cast<double>(functions);
}
BENCHMARK(BM_FrontendModule)->Unit(benchmark::kMillisecond);

void BM_FrontendLexOnly(benchmark::State& bs) {
    const std::string& text = source();
    for (auto _ : bs) {
        LexOutput lexed = lex(text);
        if (!lexed.ok()) {
            bs.SkipWithError("generated source does not lex");
            return;
        }
        benchmark::DoNotOptimize(lexed);
    }
    bs.SetBytesProcessed(static_cast<std::int64_t>(bs.iterations() * text.size()));
}
BENCHMARK(BM_FrontendLexOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
