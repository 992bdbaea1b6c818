#include <gtest/gtest.h>

#include <fmt/format.h>

#include "keinstr/ir/printer.hpp"
#include "keinstr/ir/module.hpp"

namespace keinstr {
namespace {

Operand reg(std::uint32_t n) { return Operand::reg(Name{n}); }
Operand imm(std::int64_t v, std::uint32_t bits = 32) { return Operand::imm(AnyConst{IConst{IType{bits}, BigInt(v)}}); }

class PrinterTest : public ::testing::Test {
protected:
    TypeRegistry registry{0, NodeId{}};
    Typeref i32 = registry.search_or_insert(int_type(32));
    Typeref i64 = registry.search_or_insert(int_type(64));
    Typeref ptr = registry.search_or_insert(ptr_type());
    Typeref i8 = registry.search_or_insert(int_type(8));
    Typeref pair = registry.search_or_insert(struct_type({i32, ptr}));

    std::string text(const KeInstr& instr, const Module* module = nullptr) {
        return instr.fmt(registry, module).to_string();
    }
};

TEST_F(PrinterTest, ExamplesAndOneRowPerForm) {
    Typeref unknown;
    unknown.uuid.bytes.fill(0x11);
    struct Case {
        KeInstr instr;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {IAdd{Name{3}, i32, reg(1), reg(2), OverflowSignednessPolicy::Wrap}, "%3: i32 = iadd.wrap %1, %2"},
        {ISub{Name{3}, i32, reg(1), imm(-5), OverflowSignednessPolicy::SSat}, "%3: i32 = isub.ssat %1, i32 -5"},
        {IMul{Name{3}, i32, reg(1), reg(2), OverflowSignednessPolicy::UTrap}, "%3: i32 = imul.utrap %1, %2"},
        {IDiv{Name{3}, i32, reg(1), reg(2), IntegerSignedness::Signed}, "%3: i32 = idiv.signed %1, %2"},
        {IRem{Name{3}, i32, reg(1), reg(2), IntegerSignedness::Unsigned}, "%3: i32 = irem.unsigned %1, %2"},
        {ICmp{Name{3}, i32, reg(1), reg(2), ICmpVariant::Sle}, "%3: i32 = icmp.sle %1, %2"},
        {ISht{Name{3}, i32, reg(1), reg(2), IShiftVariant::Asr}, "%3: i32 = isht.asr %1, %2"},
        {FCmp{Name{3}, i32, reg(1), reg(2), FCmpVariant::Ord}, "%3: i32 = fcmp.ord %1, %2"},
        {INeg{Name{3}, i32, reg(1)}, "%3: i32 = ineg %1"},
        {IAnd{Name{3}, i32, reg(1), reg(2)}, "%3: i32 = and %1, %2"},
        {IImplies{Name{3}, i32, reg(1), reg(2)}, "%3: i32 = implies %1, %2"},
        {FNeg{Name{3}, i32, Operand::undef(i32)}, "%3: i32 = fneg i32 undef"},
        {Select{Name{3}, reg(0), reg(1), reg(2), i32}, "%3: i32 = select %0, %1, %2"},
        {Cast{Name{3}, i64, reg(1), CastVariant::SExt}, "%3: i64 = cast %1"},
        {Cast{Name{3}, i64, reg(1), CastVariant::Trunc}, "%3: i64 = cast %1"},
        {MLoad{Name{2}, i32, reg(1), std::nullopt, std::nullopt, false}, "%2: i32 = load %1"},
        {MLoad{Name{2}, i32, reg(1), 4u, MemoryOrdering::AcqRel, true},
         "%2: i32 = load volatile %1, atomic acq_rel, align 4"},
        {MStore{reg(1), reg(2), 4u, std::nullopt, true}, "store volatile %1, %2, align 4"},
        {MStore{reg(1), imm(7), std::nullopt, MemoryOrdering::SeqCst, false}, "store %1, i32 7, atomic seq_cst"},
        {MAlloca{Name{1}, ptr, imm(1), std::nullopt}, "%1: ptr = alloca ptr i32 1"},
        {MAlloca{Name{1}, i8, reg(0), 16u}, "%1: i8 = alloca i8 %0, align 16"},
        {MGetElementPtr{Name{4}, ptr, pair, reg(0), {imm(0), imm(1)}},
         "%4: ptr = getelementptr {i32, ptr}, %0, i32 0, i32 1"},
        {MGetElementPtr{Name{4}, ptr, pair, reg(0), {}}, "%4: ptr = getelementptr {i32, ptr}, %0"},
        {Invoke{reg(0), {}, std::nullopt, std::nullopt, std::nullopt}, "invoke %0"},
        {Invoke{reg(0), {reg(1), imm(2)}, Name{5}, i32, CallingConvention::numbered(7)},
         "%5: i32 = invoke cc7 %0, %1, i32 2"},
        {Invoke{reg(0), {}, std::nullopt, std::nullopt, CallingConvention(CallingConventionKind::FastC)},
         "invoke fastcc %0"},
        {Phi{Name{3}, i32, {}}, "%3: i32 = phi "},
        {Phi{Name{3}, i32, {{reg(1), Label{0}}, {imm(4), Label{2}}}}, "%3: i32 = phi [%1, block_0], [i32 4, block_2]"},
        {InsertValue{Name{3}, pair, reg(1), reg(2), {1}}, "%3: {i32, ptr} = insertvalue %1, %2, i32 1"},
        {ExtractValue{Name{3}, i32, reg(1), {0, 2}}, "%3: i32 = extractvalue %1, i32 0, i32 2"},
        {MetaAssert{reg(1)}, "!assert %1"},
        {MetaAssume{imm(1, 1)}, "!assume i1 1"},
        {MetaIsDef{Name{2}, i32, reg(1)}, "%2: i32 = !isdef %1"},
        {MetaForall{Name{2}, i32}, "%2: i32 = !forall "},
        {MetaProb{Name{2}, i32, MetaProbOperand{MetaProbVariant::Probability, reg(1)}}, "%2: i32 = !prob.prob %1"},
        {MetaProb{Name{2}, i32, MetaProbOperand{MetaProbVariant::ExpectedValue, reg(1)}}, "%2: i32 = !prob.ev %1"},
        {MetaProb{Name{2}, i32, MetaProbOperand{MetaProbVariant::Variance, reg(1)}}, "%2: i32 = !prob.var %1"},
        {MetaAnalysisStat{Name{2}, i32, InstructionCount{InstructionFlags{0x401}}},
         "%2: i32 = !analysis.icnt i32 0x401"},
        {MetaAnalysisStat{Name{2}, i32, InstructionCount{InstructionFlags{0x1FC3}}},
         "%2: i32 = !analysis.icnt i32 0x1fc3"},
        {MetaAnalysisStat{Name{2}, i32, InstructionCount{}}, "%2: i32 = !analysis.icnt i32 0x0"},
        {MetaAnalysisStat{Name{2}, i32, ExecutionCount{}}, "%2: i32 = !analysis.excnt"},
        {MetaAnalysisStat{Name{2}, i32, TerminationBehavior{BlockExit{}}}, "%2: i32 = !analysis.term.blockexit"},
        {MetaAnalysisStat{Name{2}, i32, TerminationBehavior{FunctionExit{}}}, "%2: i32 = !analysis.term.funcexit"},
        {MetaAnalysisStat{Name{2}, i32, TerminationBehavior{ReachAny{}}}, "%2: i32 = !analysis.term.reach "},
        {MetaAnalysisStat{Name{2}, i32, TerminationBehavior{ReachAny{{Label{1}, Label{3}}}}},
         "%2: i32 = !analysis.term.reach block_1, block_3"},
        // Damaged input: an unregistered type and an invoke result without a type.
        {IAdd{Name{3}, unknown, reg(1), reg(2), {}},
         "%3: <unknown type 11111111-1111-1111-1111-111111111111> = iadd.wrap %1, %2"},
        {Invoke{reg(0), {}, Name{5}, std::nullopt, std::nullopt}, "%5: <unknown type> = invoke %0"},
        {INot{Name{1}, Typeref::type_variable(1), reg(0)}, "%1: B = not %0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(c.instr), c.expected) << c.instr.debug();
    }
}

TEST_F(PrinterTest, FunctionPointersResolveThroughTheModule) {
    Module module;
    Function named_fn = Function::default_function();
    named_fn.name = "callee";
    Function unnamed_fn = Function::default_function();
    const Uuid named_id = named_fn.uuid;
    const Uuid unnamed_id = unnamed_fn.uuid;
    module.insert_function(named_fn);
    module.insert_function(unnamed_fn);
    Uuid ext_id;
    ext_id.bytes.fill(0xee);
    module.external_functions[ext_id] = ExternalFunction{ext_id, "puts", {}, {}, std::nullopt};
    Uuid missing;
    missing.bytes.fill(0x0d);

    auto call = [](FunctionPointer fp) {
        return KeInstr{Invoke{Operand::imm(AnyConst{fp}), {}, std::nullopt, std::nullopt, std::nullopt}};
    };
    EXPECT_EQ(text(call(FunctionPointer::internal(named_id)), &module), "invoke ptr %callee");
    EXPECT_EQ(text(call(FunctionPointer::internal(unnamed_id)), &module), "invoke ptr @" + unnamed_id.to_string());
    EXPECT_EQ(text(call(FunctionPointer::internal(missing)), &module),
              "invoke ptr <invalid@" + missing.to_string() + ">");
    EXPECT_EQ(text(call(FunctionPointer::internal(named_id))), "invoke ptr <unresolved@" + named_id.to_string() + ">");
    EXPECT_EQ(text(call(FunctionPointer::external(ext_id)), &module), "invoke ptr external %puts");
    // Internal and external lookups never mix.
    EXPECT_EQ(text(call(FunctionPointer::external(named_id)), &module),
              "invoke ptr external <invalid@" + named_id.to_string() + ">");
    EXPECT_EQ(text(call(FunctionPointer::external(ext_id))),
              "invoke ptr external <unresolved@" + ext_id.to_string() + ">");
}

TEST_F(PrinterTest, Terminators) {
    struct Case {
        KeTerminator term;
        bool with_registry;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {Branch{reg(1), Label{1}, Label{2}}, true, "branch %1, block_1, block_2"},
        {Jump{Label{4}}, true, "jump label block_4"},
        {Ret{imm(0)}, true, "ret i32 0"},
        {Ret{}, true, "ret void"},
        {Trap{}, true, "trap"},
        {Ret{Operand::undef(i32)}, true, "ret i32 undef"},
        {Ret{Operand::undef(i32)}, false, "ret undef"},
        {Branch{Operand::undef(i32), Label{0}, Label{0}}, false, "branch undef, block_0, block_0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.term.fmt(c.with_registry ? &registry : nullptr).to_string(), c.expected);
    }
    // The adapters work with fmt's "{}" as the error messages use them.
    KeInstr add = IAdd{Name{3}, i32, reg(1), reg(2), {}};
    EXPECT_EQ(fmt::format("`{}` / `{}`", add.fmt(registry), KeTerminator{Trap{}}.fmt()),
              "`%3: i32 = iadd.wrap %1, %2` / `trap`");
}

}  // namespace
}  // namespace keinstr
