// Verification and SSA renumbering of one function at the instruction limit:
// 1,000,000 instructions in 16 blocks, registers numbered out of definition order
// (as the front end leaves them).
#include <benchmark/benchmark.h>

#include <cstdint>

#include "keinstr/ir/function.hpp"
#include "keinstr/passes/verify.hpp"

namespace {

using namespace keinstr;

constexpr std::uint32_t kBlocks = 16;
constexpr std::uint32_t kPerBlock = 62500;  // kBlocks * kPerBlock == 1,000,000
constexpr std::uint32_t kParams = 4;

// Definition k (parameters first) carries the name (k * 7919) mod total: every name
// in [0, total) is used once, in scrambled order.
Function make_function() {
    const std::uint32_t total = kParams + kBlocks * kPerBlock;
    const auto name = [total](std::uint32_t k) {
        return Name{static_cast<std::uint32_t>((std::uint64_t{k} * 7919) % total)};
    };
    Typeref i32;
    i32.uuid.bytes[0] = 1;

    Function f;
    f.uuid = Uuid::new_v4();
    f.name = "big";
    for (std::uint32_t p = 0; p < kParams; ++p) f.params.emplace_back(name(p), i32);
    std::uint32_t k = kParams;
    for (std::uint32_t b = 0; b < kBlocks; ++b) {
        BasicBlock block{Label{b}, {}, Trap{}};
        block.instructions.reserve(kPerBlock);
        // A phi at the head of every block, reading a value of the previous block (or
        // of the last one, for the entry) and a parameter.
        const std::uint32_t pred = b == 0 ? kBlocks - 1 : b - 1;
        const std::uint32_t pred_def = kParams + pred * kPerBlock + kPerBlock - 1;
        block.instructions.push_back(
            Phi{name(k++), i32, {{Operand{name(pred_def)}, Label{pred}}, {Operand{name(0)}, Label{pred}}}});
        for (std::uint32_t i = 1; i < kPerBlock; ++i, ++k) {
            const Operand lhs{name(k - 1)};
            const Operand rhs{name(k - 1 - (i % 7 == 0 ? std::min<std::uint32_t>(k - 1, 13) : 1))};
            if (i % 3 == 0) {
                block.instructions.push_back(ICmp{name(k), i32, lhs, rhs, ICmpVariant::Slt});
            } else {
                block.instructions.push_back(IAdd{name(k), i32, lhs, rhs, OverflowSignednessPolicy::Wrap});
            }
        }
        if (b + 1 < kBlocks) {
            block.terminator = Branch{Operand{name(k - 1)}, Label{b + 1}, Label{0}};
        } else {
            block.terminator = Ret{Operand{name(k - 1)}};
        }
        f.body.emplace(Label{b}, std::move(block));
    }
    return f;
}

const Function& scrambled() {
    static const Function f = make_function();
    return f;
}

void BM_Verify(benchmark::State& state) {
    const Function& f = scrambled();
    for (auto _ : state) {
        auto r = f.verify();
        if (!r) state.SkipWithError(r.error().message().c_str());
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * kBlocks * kPerBlock);
}

void BM_NormalizeSsa(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Function f = scrambled();
        state.ResumeTiming();
        f.normalize_ssa();
        benchmark::DoNotOptimize(f);
        state.PauseTiming();
        { Function gone = std::move(f); }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBlocks * kPerBlock);
}

// What the front end does with each parsed function: renumber, then verify.
void BM_NormalizeThenVerify(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Function f = scrambled();
        state.ResumeTiming();
        f.normalize_ssa();
        auto r = f.verify();
        if (!r) state.SkipWithError(r.error().message().c_str());
        benchmark::DoNotOptimize(r);
        state.PauseTiming();
        { Function gone = std::move(f); }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBlocks * kPerBlock);
}

}  // namespace

BENCHMARK(BM_Verify)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NormalizeSsa)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_NormalizeThenVerify)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
