// Throughput of the instruction-line grammar: about 10 MB of generated
// instruction lines, parsed line by line (and, separately, lexed and parsed).
// Reports bytes per second of source text.

#include <benchmark/benchmark.h>

#include <string>

#include <fmt/format.h>

#include "keinstr/text/engine.hpp"
#include "keinstr/text/instr_grammar.hpp"
#include "keinstr/text/lexer.hpp"
#include "keinstr/text/state.hpp"
#include "keinstr/types/registry.hpp"

namespace {

using namespace keinstr;

constexpr std::size_t kTargetBytes = 10u << 20;

// A deterministic mix of the common line shapes, over a pool of 256 register
// and 16 label names.
std::string generate_lines(std::size_t target) {
    std::string out;
    out.reserve(target + 256);
    std::uint32_t x = 12345;
    auto next = [&] {
        x = x * 1103515245u + 12345u;
        return (x >> 8) & 0xFF;
    };
    for (std::size_t i = 0; out.size() < target; ++i) {
        const unsigned d = next(), a = next(), b = next(), k = next();
        switch (i % 10) {
            case 0: out += fmt::format("%r{}: i32 = iadd.wrap %r{}, i32 {}\n", d, a, k); break;
            case 1: out += fmt::format("%r{}: i64 = load.acquire %p{}, align 8, volatile\n", d, a); break;
            case 2: out += fmt::format("store %r{}, %r{}, align 4\n", a, b); break;
            case 3:
                out += fmt::format("%r{}: ptr = getelementptr {{i32, [4 x i8]}}, %p{}, i32 1, i64 {}\n", d, a, k);
                break;
            case 4: out += fmt::format("%r{}: i32 = phi [%r{}, bb{}], [i32 0, bb{}]\n", d, a, b % 16, k % 16); break;
            case 5: out += fmt::format("%r{}: i1 = icmp.slt %r{}, %r{}\n", d, a, b); break;
            case 6: out += fmt::format("%r{}: fp64 = fadd %f{}, fp64 2.5\n", d, a); break;
            case 7: out += fmt::format("%r{}: i32 = select %c{}, %r{}, i32 7\n", d, a, b); break;
            case 8: out += fmt::format("%r{}: <4 x i32> = iadd.ssat %v{}, <4 x i32> undef\n", d, a); break;
            default: out += fmt::format("%r{}: i32 = cast.zext %r{}\n", d, a); break;
        }
    }
    return out;
}

const std::string& source() {
    static const std::string text = generate_lines(kTargetBytes);
    return text;
}

// Parses every line of `tokens`; false when a line does not parse or a finding
// was emitted.
bool parse_all(const TokenList& tokens, const TypeRegistry& registry) {
    State state(nullptr, random_uuid_generator(), registry);
    Parser p(tokens.tokens, state);
    std::size_t lines = 0;
    while (!p.at_end()) {
        auto instr = parse_instruction(p);
        if (!instr) return false;
        benchmark::DoNotOptimize(instr);
        if (!p.punct(TokenDiscriminants::Newline) && !p.at_end()) return false;
        // Keep the register map at the size of a large function.
        if (++lines % 4096 == 0) state.clear();
    }
    return p.findings().empty();
}

void BM_ParseLines(benchmark::State& bs) {
    const std::string& text = source();
    LexOutput lexed = lex(text);
    if (!lexed.ok()) {
        bs.SkipWithError("generated source does not lex");
        return;
    }
    TypeRegistry registry(0, NodeId{});
    for (auto _ : bs) {
        if (!parse_all(*lexed.tokens, registry)) {
            bs.SkipWithError("generated source does not parse");
            return;
        }
    }
    bs.SetBytesProcessed(static_cast<std::int64_t>(bs.iterations() * text.size()));
    bs.counters["tokens"] = static_cast<double>(lexed.tokens->tokens.size());
}
BENCHMARK(BM_ParseLines)->Unit(benchmark::kMillisecond);

void BM_LexAndParseLines(benchmark::State& bs) {
    const std::string& text = source();
    TypeRegistry registry(0, NodeId{});
    for (auto _ : bs) {
        LexOutput lexed = lex(text);
        if (!lexed.ok() || !parse_all(*lexed.tokens, registry)) {
            bs.SkipWithError("generated source does not lex or parse");
            return;
        }
    }
    bs.SetBytesProcessed(static_cast<std::int64_t>(bs.iterations() * text.size()));
}
BENCHMARK(BM_LexAndParseLines)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
