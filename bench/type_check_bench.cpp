// Type checking of a module of 100,000 instructions built in memory: 10 functions of
// 10,000 well-typed instructions each, cycling through arithmetic, comparison, select,
// memory, getelementptr, cast, aggregate, floating-point and call instructions.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "keinstr/ir/function.hpp"
#include "keinstr/ir/module.hpp"
#include "keinstr/passes/type_check.hpp"
#include "keinstr/types/registry.hpp"

namespace {

using namespace keinstr;

constexpr std::uint32_t kFunctions = 10;
constexpr std::uint32_t kGroups = 1000;
constexpr std::uint32_t kPerGroup = 10;  // kFunctions * kGroups * kPerGroup == 100,000

struct Fixture {
    TypeRegistry registry{0, NodeId{}};
    Module module;
    std::uint64_t instructions = 0;

    Fixture() {
        const Typeref i1 = registry.search_or_insert(int_type(1));
        const Typeref i32 = registry.search_or_insert(int_type(32));
        const Typeref i64 = registry.search_or_insert(int_type(64));
        const Typeref fp32 = registry.search_or_insert(float_type(FType::Fp32));
        const Typeref ptr = registry.search_or_insert(ptr_type());
        const Typeref floats = registry.search_or_insert(array_type(fp32, 4));
        const Typeref record = registry.search_or_insert(struct_type({i32, floats}));

        const auto reg = [](std::uint32_t n) { return Operand::reg(Name{n}); };
        const auto i32_lit = [](long long v) { return Operand::imm(IConst{IType{32}, BigInt(v)}); };
        const auto i64_lit = [](long long v) { return Operand::imm(IConst{IType{64}, BigInt(v)}); };

        for (std::uint32_t fi = 0; fi < kFunctions; ++fi) {
            Function f;
            f.uuid = Uuid::new_v4();
            f.name = "f" + std::to_string(fi);
            // %0 ptr, %1 i32, %2 i1, %3 {i32, [ 4 x fp32 ]}, %4 fp32
            f.params = {{Name{0}, ptr}, {Name{1}, i32}, {Name{2}, i1}, {Name{3}, record}, {Name{4}, fp32}};
            f.return_type = i32;
            BasicBlock block{Label{0}, {}, Ret{reg(1)}};
            block.instructions.reserve(kGroups * kPerGroup);
            std::uint32_t n = 5;
            for (std::uint32_t g = 0; g < kGroups; ++g, n += 9) {
                auto& out = block.instructions;
                out.push_back(IAdd{Name{n}, i32, reg(1), i32_lit(g), OverflowSignednessPolicy::Wrap});
                out.push_back(ICmp{Name{n + 1}, i1, reg(n), reg(1), ICmpVariant::Slt});
                out.push_back(Select{Name{n + 2}, reg(n + 1), reg(n), reg(1), i32});
                out.push_back(MLoad{Name{n + 3}, i32, reg(0), 4, std::nullopt, false});
                out.push_back(MGetElementPtr{Name{n + 4}, ptr, record, reg(0), {i64_lit(0), i32_lit(1), i64_lit(2)}});
                out.push_back(Cast{Name{n + 5}, i64, reg(n + 3), CastVariant::SExt});
                out.push_back(ExtractValue{Name{n + 6}, fp32, reg(3), {1, 2}});
                out.push_back(FAdd{Name{n + 7}, fp32, reg(n + 6), reg(4)});
                out.push_back(InsertValue{Name{n + 8}, record, reg(3), reg(n + 7), {1, 0}});
                out.push_back(MStore{reg(n + 4), reg(n + 2), std::nullopt, std::nullopt, false});
            }
            instructions += block.instructions.size();
            f.body.emplace(Label{0}, std::move(block));
            module.insert_function(std::move(f));
        }
    }
};

const Fixture& fixture() {
    static const Fixture f;
    return f;
}

void BM_TypeCheckModule(benchmark::State& state) {
    const Fixture& fx = fixture();
    for (auto _ : state) {
        for (const auto& [uuid, function] : fx.module.functions) {
            auto r = type_check(*function, fx.registry);
            if (!r) {
                state.SkipWithError(r.error().message().c_str());
                return;
            }
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * fx.instructions));
    state.counters["instructions"] = static_cast<double>(fx.instructions);
}
BENCHMARK(BM_TypeCheckModule)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
