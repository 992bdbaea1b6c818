#include <gtest/gtest.h>

#include <vector>

#include "keinstr/ir/instr.hpp"
#include "keinstr/ir/terminator.hpp"

namespace keinstr {
namespace {

Operand reg(std::uint32_t n) { return Operand::reg(Name{n}); }
Typeref tref(std::uint8_t b) {
    Typeref t;
    t.uuid.bytes.fill(b);
    return t;
}

std::vector<Operand> collect(const KeInstr& instr) {
    std::vector<Operand> out;
    for (const Operand& op : instr.operands()) out.push_back(op);
    return out;
}

std::vector<Typeref> types_of(const KeInstr& instr) {
    std::vector<Typeref> out;
    for (const Typeref& t : instr.referenced_types()) out.push_back(t);
    return out;
}

TEST(InstrAccessors, VariantIndexIsOpcode) {
    KeInstr i = IAdd{};
    EXPECT_EQ(i.op(), KeInstrOp::IAdd);
    i = MetaForall{};
    EXPECT_EQ(i.op(), KeInstrOp::MetaForall);
    EXPECT_TRUE(i.is_meta());
    i = ExtractValue{};
    EXPECT_EQ(i.index(), 30u);
    EXPECT_FALSE(i.is_meta());
}

TEST(InstrAccessors, RepresentativeRecords) {
    struct Case {
        const char* what;
        KeInstr instr;
        std::vector<Operand> operands;
        std::optional<Name> dest;
        std::optional<Typeref> dest_ty;
        std::vector<Typeref> types;
    };
    const std::vector<Case> cases = {
        {"iadd",
         IAdd{Name{3}, tref(1), reg(1), reg(2), OverflowSignednessPolicy::Wrap},
         {reg(1), reg(2)},
         Name{3},
         tref(1),
         {tref(1)}},
        {"cast", Cast{Name{4}, tref(2), reg(9), CastVariant::ZExt}, {reg(9)}, Name{4}, tref(2), {tref(2)}},
        {"store", MStore{reg(1), reg(2), 4u, std::nullopt, true}, {reg(1), reg(2)}, std::nullopt, std::nullopt, {}},
        {"assert", MetaAssert{reg(5)}, {reg(5)}, std::nullopt, std::nullopt, {}},
        {"assume", MetaAssume{reg(6)}, {reg(6)}, std::nullopt, std::nullopt, {}},
        {"forall", MetaForall{Name{7}, tref(3)}, {}, Name{7}, tref(3), {tref(3)}},
        {"gep no indices",
         MGetElementPtr{Name{1}, tref(4), tref(4), reg(0), {}},
         {reg(0)},
         Name{1},
         tref(4),
         {tref(4), tref(4)}},
        {"gep",
         MGetElementPtr{Name{1}, tref(4), tref(5), reg(0), {reg(2), reg(3)}},
         {reg(0), reg(2), reg(3)},
         Name{1},
         tref(4),
         {tref(4), tref(5)}},
        {"invoke no result",
         Invoke{reg(8), {}, std::nullopt, std::nullopt, std::nullopt},
         {reg(8)},
         std::nullopt,
         std::nullopt,
         {}},
        {"invoke",
         Invoke{reg(8), {reg(1), reg(2)}, Name{9}, tref(6), std::nullopt},
         {reg(8), reg(1), reg(2)},
         Name{9},
         tref(6),
         {tref(6)}},
        {"phi empty", Phi{Name{2}, tref(1), {}}, {}, Name{2}, tref(1), {tref(1)}},
        {"phi",
         Phi{Name{2}, tref(1), {{reg(4), Label{1}}, {reg(5), Label{2}}, {reg(6), Label{3}}}},
         {reg(4), reg(5), reg(6)},
         Name{2},
         tref(1),
         {tref(1)}},
        {"select",
         Select{Name{3}, reg(0), reg(1), reg(2), tref(7)},
         {reg(0), reg(1), reg(2)},
         Name{3},
         tref(7),
         {tref(7)}},
        {"insertvalue",
         InsertValue{Name{3}, tref(1), reg(1), reg(2), {0, 1}},
         {reg(1), reg(2)},
         Name{3},
         tref(1),
         {tref(1)}},
        {"prob",
         MetaProb{Name{3}, tref(1), MetaProbOperand{MetaProbVariant::Variance, reg(2)}},
         {reg(2)},
         Name{3},
         tref(1),
         {tref(1)}},
        {"analysis",
         MetaAnalysisStat{Name{3}, tref(1), TerminationBehavior{ReachAny{{Label{1}, Label{2}}}}},
         {},
         Name{3},
         tref(1),
         {tref(1)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(collect(c.instr), c.operands);
        EXPECT_EQ(c.instr.operands().size(), c.operands.size());
        EXPECT_EQ(c.instr.destination(), c.dest);
        EXPECT_EQ(c.instr.destination_type(), c.dest_ty);
        EXPECT_EQ(c.instr.destination().has_value(), c.instr.destination_type().has_value());
        EXPECT_EQ(types_of(c.instr), c.types);
    }
}

TEST(InstrAccessors, OperandsMutReachesEveryPosition) {
    KeInstr phi = Phi{Name{0}, tref(1), {{reg(1), Label{1}}, {reg(2), Label{2}}}};
    KeInstr invoke = Invoke{reg(3), {reg(4), reg(5)}, Name{6}, tref(1), std::nullopt};
    for (KeInstr* instr : {&phi, &invoke}) {
        for (Operand& op : instr->operands_mut()) {
            if (Name* n = op.as_reg()) n->id += 100;
        }
    }
    const auto& values = std::get<Phi>(phi).values;
    EXPECT_EQ(values[0], (PhiValue{reg(101), Label{1}}));
    EXPECT_EQ(values[1], (PhiValue{reg(102), Label{2}}));
    const auto& call = std::get<Invoke>(invoke);
    EXPECT_EQ(call.function, reg(103));
    EXPECT_EQ(call.args, (OperandList{reg(104), reg(105)}));
}

TEST(InstrAccessors, RemapTouchesOnlyMappedTypeFields) {
    const TypeMap only_ty = {{tref(1), tref(11)}};
    KeInstr gep = MGetElementPtr{Name{1}, tref(1), tref(2), Operand::undef(tref(1)), {}};
    gep.remap_types(only_ty);
    const auto& g = std::get<MGetElementPtr>(gep);
    EXPECT_EQ(g.ty, tref(11));
    EXPECT_EQ(g.in_ty, tref(2));
    // Types inside operands are not instruction type fields.
    EXPECT_EQ(g.base, Operand::undef(tref(1)));

    KeInstr both = MGetElementPtr{Name{1}, tref(1), tref(1), reg(0), {}};
    both.remap_types(only_ty);
    EXPECT_EQ(types_of(both), (std::vector<Typeref>{tref(11), tref(11)}));

    KeInstr call = Invoke{reg(0), {}, std::nullopt, std::nullopt, std::nullopt};
    const KeInstr before = call;
    call.remap_types(only_ty);
    EXPECT_EQ(call, before);

    KeInstr sel = Select{Name{3}, reg(0), reg(1), reg(2), tref(1)};
    sel.remap_types({});
    EXPECT_EQ(std::get<Select>(sel).ty, tref(1));
    sel.remap_types(only_ty);
    EXPECT_EQ(std::get<Select>(sel).ty, tref(11));
}

TEST(InstrDebugForm, RecordsPrintFieldsInDeclaredOrder) {
    Typeref t = tref(0xab);
    const std::string ty = "Typeref(abababab-abab-abab-abab-abababababab)";
    struct Case {
        KeInstr instr;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {IAdd{Name{3}, t, reg(1), reg(2), OverflowSignednessPolicy::USat},
         "IAdd(IAdd { dest: %3, ty: " + ty + ", lhs: Reg(%1), rhs: Reg(%2), variant: USat })"},
        {MetaAssert{reg(5)}, "MetaAssert(MetaAssert { condition: Reg(%5) })"},
        {MLoad{Name{2}, t, reg(1), 8u, MemoryOrdering::Acq, true},
         "MLoad(MLoad { dest: %2, ty: " + ty +
             ", addr: Reg(%1), alignement: Some(8), ordering: Some(Acq), volatile: true })"},
        {MStore{reg(1), reg(2), std::nullopt, std::nullopt, false},
         "MStore(MStore { addr: Reg(%1), value: Reg(%2), alignement: None, ordering: None, volatile: false })"},
        {Invoke{reg(0), {reg(1)}, Name{4}, t, CallingConvention::numbered(7)},
         "Invoke(Invoke { function: Reg(%0), args: [Reg(%1)], dest: Some(%4), ty: Some(" + ty +
             "), cconv: Some(Numbered(7)) })"},
        {Phi{Name{2}, t, {{reg(1), Label{0}}, {reg(3), Label{4}}}},
         "Phi(Phi { dest: %2, ty: " + ty + ", values: [(Reg(%1), Label(0)), (Reg(%3), Label(4))] })"},
        {ExtractValue{Name{2}, t, reg(1), {0, 2}},
         "ExtractValue(ExtractValue { dest: %2, ty: " + ty + ", aggregate: Reg(%1), indices: [0, 2] })"},
        {MetaProb{Name{2}, t, MetaProbOperand{MetaProbVariant::ExpectedValue, reg(1)}},
         "MetaProb(MetaProb { dest: %2, ty: " + ty + ", operand: ExpectedValue(Reg(%1)) })"},
        {MetaAnalysisStat{Name{2}, t, InstructionCount{InstructionFlags{0x401}}},
         "MetaAnalysisStat(MetaAnalysisStat { dest: %2, ty: " + ty +
             ", statistic: InstructionCount(InstructionFlags(META | MEMORY)) })"},
        {MetaAnalysisStat{Name{2}, t, ExecutionCount{}},
         "MetaAnalysisStat(MetaAnalysisStat { dest: %2, ty: " + ty + ", statistic: ExecutionCount })"},
        {MetaAnalysisStat{Name{2}, t, TerminationBehavior{ReachAny{{Label{1}}}}},
         "MetaAnalysisStat(MetaAnalysisStat { dest: %2, ty: " + ty +
             ", statistic: TerminationBehavior(ReachAny([Label(1)])) })"},
        {MetaForall{Name{1}, t}, "MetaForall(MetaForall { dest: %1, ty: " + ty + " })"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.instr.debug(), c.expected);
}

TEST(TerminatorAccessors, OperandAndDebugForm) {
    KeTerminator branch = Branch{reg(1), Label{1}, Label{2}};
    EXPECT_EQ(branch.op(), KeTerminatorOp::Branch);
    ASSERT_NE(branch.operand(), nullptr);
    EXPECT_EQ(*branch.operand(), reg(1));
    EXPECT_EQ(branch.debug(), "Branch { condition: Reg(%1), true_label: Label(1), false_label: Label(2) }");

    KeTerminator ret = Ret{reg(4)};
    EXPECT_EQ(*ret.operand(), reg(4));
    EXPECT_EQ(ret.debug(), "Ret(Some(Reg(%4)))");
    EXPECT_EQ(KeTerminator{Ret{}}.operand(), nullptr);
    EXPECT_EQ(KeTerminator{Ret{}}.debug(), "Ret(None)");
    EXPECT_EQ(KeTerminator{Jump{Label{3}}}.operand(), nullptr);
    EXPECT_EQ(KeTerminator{Jump{Label{3}}}.debug(), "Jump(Label(3))");
    EXPECT_EQ(KeTerminator{Trap{}}.debug(), "Trap");
    EXPECT_EQ(KeTerminator{Trap{}}.op(), KeTerminatorOp::Trap);
}

}  // namespace
}  // namespace keinstr
