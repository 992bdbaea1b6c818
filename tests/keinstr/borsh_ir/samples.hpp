// Sample IR values for the borsh tests: one of every record kind, with fields set
// away from their defaults so that a swapped or dropped field shows.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "keinstr/storage/borsh_ir.hpp"

namespace keinstr::test {

inline Typeref tref(std::uint8_t n) {
    Typeref t;
    for (std::uint8_t i = 0; i < 16; ++i) t.uuid.bytes[i] = static_cast<std::uint8_t>(n + i);
    return t;
}
inline Uuid uuid_of(std::uint8_t n) { return tref(n).uuid; }

inline Operand reg(std::uint32_t n) { return Operand{Name{n}}; }
inline Operand imm_int(std::uint32_t bits, std::int64_t v) { return Operand{AnyConst{IConst{IType{bits}, BigInt(v)}}}; }

inline std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> out;
    for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}
inline void append(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& more) {
    out.insert(out.end(), more.begin(), more.end());
}
inline void append(std::vector<std::uint8_t>& out, const Uuid& u) {
    out.insert(out.end(), u.bytes.begin(), u.bytes.end());
}

// One instruction of every opcode, in opcode order.
inline InstrList every_instruction() {
    const Typeref t = tref(0x10);
    const Typeref u = tref(0x20);
    const Operand a = reg(1);
    const Operand b = imm_int(8, -1);
    const Operand c = Operand{u};
    const Operand fp = Operand{AnyConst{FConst{FType::X86Fp80, Decimal(BigInt(-150), 2)}}};
    const Operand ptr = Operand{AnyConst{FunctionPointer::external(uuid_of(0x70))}};
    return {
        IAdd{Name{2}, t, a, b, OverflowSignednessPolicy::UTrap},
        ISub{Name{3}, t, b, a, OverflowSignednessPolicy::SSat},
        IMul{Name{4}, u, a, c, OverflowSignednessPolicy::USat},
        IDiv{Name{5}, t, a, b, IntegerSignedness::Unsigned},
        IRem{Name{6}, t, b, a, IntegerSignedness::Signed},
        ICmp{Name{7}, t, a, b, ICmpVariant::Sle},
        ISht{Name{8}, t, a, b, IShiftVariant::Ror},
        INeg{Name{9}, t, c},
        IAnd{Name{10}, t, a, b},
        IOr{Name{11}, u, b, a},
        IXor{Name{12}, t, a, c},
        INot{Name{13}, t, a},
        IImplies{Name{14}, t, a, b},
        IEquiv{Name{15}, t, b, a},
        FAdd{Name{16}, t, fp, a},
        FSub{Name{17}, t, a, fp},
        FMul{Name{18}, t, fp, fp},
        FDiv{Name{19}, u, a, c},
        FRem{Name{20}, t, c, a},
        FCmp{Name{21}, t, a, fp, FCmpVariant::Ord},
        FNeg{Name{22}, t, fp},
        MLoad{Name{23}, t, a, 16u, MemoryOrdering::SeqCst, true},
        MStore{a, b, std::nullopt, MemoryOrdering::Acq, true},
        MAlloca{Name{24}, u, b, 8u},
        MGetElementPtr{Name{25}, t, u, a, {b, c, reg(9)}},
        Invoke{ptr, {a, b}, Name{26}, t, CallingConvention::numbered(64)},
        Phi{Name{27}, t, {{a, Label{3}}, {b, Label{0}}}},
        Select{Name{28}, a, b, c, u},
        Cast{Name{29}, t, a, CastVariant::Bitcast},
        InsertValue{Name{30}, t, a, b, {0, 7, 0xFFFFFFFFu}},
        ExtractValue{Name{31}, t, a, {2}},
        MetaAssert{a},
        MetaAssume{b},
        MetaIsDef{Name{32}, t, c},
        MetaProb{Name{33}, t, MetaProbOperand{MetaProbVariant::Variance, fp}},
        MetaAnalysisStat{Name{34}, t, AnalysisStatistic{TerminationBehavior{ReachAny{{Label{1}, Label{9}}}}}},
        MetaForall{Name{35}, u},
    };
}

// A function with every optional field present and every instruction.
inline Function rich_function(std::uint8_t seed) {
    Function f;
    f.uuid = uuid_of(seed);
    f.name = "f\u00e9" + std::to_string(seed);
    f.params = {{Name{0}, tref(0x10)}, {Name{1}, Typeref::type_variable(3)}};
    f.return_type = tref(0x20);
    f.body.emplace(Label{0}, BasicBlock{Label{0}, every_instruction(), Branch{reg(1), Label{1}, Label{2}}});
    f.body.emplace(Label{1}, BasicBlock{Label{1}, {}, Ret{imm_int(32, 300)}});
    f.body.emplace(Label{2}, BasicBlock{Label{2}, {}, Jump{Label{1}}});
    f.body.emplace(Label{3}, BasicBlock{Label{3}, {}, Ret{}});
    f.visibility = Visibility::Protected;
    f.cconv = CallingConvention(CallingConventionKind::SwiftTailC);
    f.wildcard_types = {3, 40000};
    f.meta_function = true;
    f.aux_uuid = uuid_of(0x99);
    return f;
}

inline Module sample_module() {
    Module m;
    m.insert_function(rich_function(0x40));
    m.insert_function(Function::default_function());
    ExternalFunction ext{uuid_of(0x70), "puts", CallingConvention::numbered(7), {tref(0x10), tref(0x20)}, tref(0x30)};
    m.external_functions.emplace(ext.uuid, ext);
    ExternalFunction bare{uuid_of(0x71), "", CallingConvention(), {}, std::nullopt};
    m.external_functions.emplace(bare.uuid, bare);
    return m;
}

}  // namespace keinstr::test
