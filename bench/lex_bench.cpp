// Lexing throughput over generated sources in the textual IR: about 10 MB (the
// output arrays are fresh memory on every run) and about 1 MB (the heap reuses
// them, so this is the scanner's own rate); and the same sources lexed on
// demand, as the front end reads them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "keinstr/text/lexer.hpp"

namespace {

// A deterministic source of realistic shape: functions with a header, several
// blocks of instructions with registers, numerals of every form, decimals,
// comments and blank lines, until `target` bytes are reached.
std::string generate_source(std::size_t target) {
    std::string s;
    s.reserve(target + 4096);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    const auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    for (std::size_t f = 0; s.size() < target; ++f) {
        fmt::format_to(std::back_inserter(s), "; function number {}\n", f);
        fmt::format_to(std::back_inserter(s), "define i32 fn_{}(i32 %a, i64 %b, ptr %p) hidden fastcc {{\n", f);
        for (int b = 0; b < 4; ++b) {
            fmt::format_to(std::back_inserter(s), "bb{}:\n", b);
            for (int i = 0; i < 8; ++i) {
                const std::uint64_t r = next();
                switch (r % 8) {
                    case 0:
                        fmt::format_to(std::back_inserter(s), "  %v{} = iadd.wrap i32 %a, {}\n", i, r % 100000);
                        break;
                    case 1:
                        fmt::format_to(std::back_inserter(s), "  %c{} = icmp.slt i64 %b, -0x{:x}\n", i, r % 65536);
                        break;
                    case 2:
                        fmt::format_to(std::back_inserter(s), "  %f{} = fadd fp64 {}.{}e-3, -2.50  ; scaled\n", i,
                                       r % 1000, r % 97);
                        break;
                    case 3:
                        fmt::format_to(std::back_inserter(s), "  %l{} = load i8, ptr %p, align 8, acquire\n", i);
                        break;
                    case 4: fmt::format_to(std::back_inserter(s), "  store i32 %v{}, ptr %p, align 4\n", i); break;
                    case 5:
                        fmt::format_to(std::back_inserter(s),
                                       "  %g{} = getelementptr [ 4 x i32 ], ptr %p, i32 0, i32 {}\n", i, r % 4);
                        break;
                    case 6:
                        fmt::format_to(std::back_inserter(s), "  %s{} = select i1 %c{}, i32 %a, i32 0b{:b}\n", i, i,
                                       r % 256);
                        break;
                    default:
                        fmt::format_to(std::back_inserter(s), "  %r{} = invoke ptr fn_{}(i32 %a, i64 %b)\n", i, f);
                        break;
                }
            }
            fmt::format_to(std::back_inserter(s), "  branch %c0, bb{}, bb{}\n\n", (b + 1) % 4, b);
        }
        s += "  ret i32 %a\n}\n\n";
    }
    return s;
}

const std::string& source(std::size_t megabytes) {
    static const std::string big = generate_source(std::size_t{10} << 20);
    static const std::string small = generate_source(std::size_t{1} << 20);
    return megabytes >= 10 ? big : small;
}

void BM_Lex(benchmark::State& state) {
    const std::string& src = source(static_cast<std::size_t>(state.range(0)));
    std::size_t tokens = 0;
    for (auto _ : state) {
        keinstr::LexOutput out = keinstr::lex(src);
        if (!out.ok()) {
            state.SkipWithError("the generated source does not lex");
            return;
        }
        tokens = out.tokens->tokens.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
    state.counters["tokens"] = static_cast<double>(tokens);
    state.counters["source_MB"] = static_cast<double>(src.size()) / 1e6;
}
BENCHMARK(BM_Lex)->Arg(10)->Arg(1)->Unit(benchmark::kMillisecond);

// The front end's way: tokens a chunk at a time into one reused buffer, no spans.
void BM_LexOnDemand(benchmark::State& state) {
    const std::string& src = source(static_cast<std::size_t>(state.range(0)));
    std::vector<keinstr::Token> chunk(4096);
    std::size_t tokens = 0;
    for (auto _ : state) {
        keinstr::IncrementalLexer lexer(src);
        tokens = 0;
        for (;;) {
            const std::size_t got = lexer.next(chunk);
            tokens += got;
            if (got < chunk.size()) break;
        }
        if (!lexer.finish().empty()) {
            state.SkipWithError("the generated source does not lex");
            return;
        }
        benchmark::DoNotOptimize(chunk.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
    state.counters["tokens"] = static_cast<double>(tokens);
}
BENCHMARK(BM_LexOnDemand)->Arg(10)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
