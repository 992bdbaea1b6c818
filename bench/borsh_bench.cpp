// Borsh encode and decode throughput (bytes of the encoded form per second) of a
// large module: 64 functions of 16 blocks with 1000 instructions each, mixing
// registers, integer and decimal immediates, memory, calls and phis.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "keinstr/storage/borsh_ir.hpp"

namespace {

using namespace keinstr;

Typeref handle(std::uint8_t n) {
    Typeref t;
    t.uuid.bytes[0] = 1;
    t.uuid.bytes[15] = n;
    return t;
}

Function make_function(std::uint32_t seed) {
    const Typeref i32 = handle(1);
    const Typeref ptr = handle(2);
    Function f;
    f.uuid = Uuid::new_v4();
    f.name = "fn_" + std::to_string(seed);
    f.params = {{Name{0}, i32}, {Name{1}, ptr}};
    f.return_type = i32;
    std::uint32_t next = 2;
    for (std::uint32_t b = 0; b < 16; ++b) {
        BasicBlock block{Label{b}, {}, Trap{}};
        block.instructions.reserve(1000);
        block.instructions.push_back(
            Phi{Name{next++}, i32, {{Operand{Name{0}}, Label{0}}, {Operand{Name{next - 2}}, Label{b}}}});
        for (std::uint32_t i = 1; i < 1000; ++i) {
            const Operand prev{Name{next - 1}};
            switch (i % 6) {
                case 0:
                    block.instructions.push_back(IAdd{Name{next++}, i32, prev,
                                                      Operand{AnyConst{IConst{IType{32}, BigInt(i * 7919)}}},
                                                      OverflowSignednessPolicy::Wrap});
                    break;
                case 1:
                    block.instructions.push_back(
                        FMul{Name{next++}, i32, prev, Operand{AnyConst{FConst{FType::Fp64, Decimal(BigInt(i), 2)}}}});
                    break;
                case 2:
                    block.instructions.push_back(
                        MLoad{Name{next++}, i32, Operand{Name{1}}, 4u, MemoryOrdering::Acq, false});
                    break;
                case 3: block.instructions.push_back(MStore{Operand{Name{1}}, prev, 4u, std::nullopt, false}); break;
                case 4:
                    block.instructions.push_back(Invoke{Operand{AnyConst{FunctionPointer::internal(f.uuid)}},
                                                        {prev, Operand{Name{0}}},
                                                        Name{next++},
                                                        i32,
                                                        std::nullopt});
                    break;
                default:
                    block.instructions.push_back(ICmp{Name{next++}, i32, prev, Operand{Name{0}}, ICmpVariant::Ult});
                    break;
            }
        }
        block.terminator = b + 1 < 16 ? KeTerminator{Branch{Operand{Name{next - 1}}, Label{b + 1}, Label{0}}}
                                      : KeTerminator{Ret{Operand{Name{next - 1}}}};
        f.body.emplace(Label{b}, std::move(block));
    }
    return f;
}

const Module& large_module() {
    static const Module m = [] {
        Module m;
        for (std::uint32_t i = 0; i < 64; ++i) m.insert_function(make_function(i));
        return m;
    }();
    return m;
}

void BM_EncodeModule(benchmark::State& state) {
    const Module& m = large_module();
    std::vector<std::uint8_t> out;
    for (auto _ : state) {
        out.clear();
        BorshWriter w(out);
        borsh_write(w, m);
        if (!w.ok()) state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
    state.counters["encoded_MB"] = static_cast<double>(out.size()) / 1e6;
}

void BM_DecodeModule(benchmark::State& state) {
    const auto data = *borsh_encode(large_module());
    for (auto _ : state) {
        auto m = borsh_decode<Module>(data);
        if (!m) state.SkipWithError(m.error().to_string().c_str());
        benchmark::DoNotOptimize(m);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

}  // namespace

BENCHMARK(BM_EncodeModule)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeModule)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
