// Instruction lines (the records they build, what the syntax accepts and where it
// stops) and terminators.

#include <gtest/gtest.h>

#include <functional>

#include "grammar_fixture.hpp"
#include "keinstr/text/instr_grammar.hpp"
#include "keinstr/text/validate.hpp"

namespace keinstr {
namespace {

using test::Grammar;
using test::uuid_of;

Operand reg(std::uint32_t n) { return Operand::reg(Name{n}); }
Operand imm(std::uint32_t bits, long long v) { return Operand::imm(IConst{IType{bits}, BigInt(v)}); }

struct RecordCase {
    const char* line;
    std::function<KeInstr(const Grammar&)> expected;
};

TEST(InstrGrammar, LinesBuildTheirRecords) {
    const RecordCase cases[] = {
        {"%s: i32 = iadd.wrap i32 1, %x",
         [](const Grammar& g) {
             return KeInstr{IAdd{Name{1}, g.i(32), imm(32, 1), reg(0), OverflowSignednessPolicy::Wrap}};
         }},
        {"%s: i32 = imul.utrap %a, %b",
         [](const Grammar& g) {
             return KeInstr{IMul{Name{2}, g.i(32), reg(0), reg(1), OverflowSignednessPolicy::UTrap}};
         }},
        {"%q: i32 = irem.unsigned %a, %b",
         [](const Grammar& g) {
             return KeInstr{IRem{Name{2}, g.i(32), reg(0), reg(1), IntegerSignedness::Unsigned}};
         }},
        {"%c: i1 = icmp.slt %b, %a",
         [](const Grammar& g) {
             return KeInstr{ICmp{Name{2}, g.i(1), reg(0), reg(1), ICmpVariant::Slt}};
         }},
        {"%c: i1 = fcmp.ord %a, fp32 1.0",
         [](const Grammar& g) {
             return KeInstr{
                 FCmp{Name{1}, g.i(1), reg(0), Operand::imm(FConst{FType::Fp32, Decimal(1)}), FCmpVariant::Ord}};
         }},
        {"%n: i8 = not %a",
         [](const Grammar& g) {
             return KeInstr{INot{Name{1}, g.i(8), reg(0)}};
         }},
        {"%n: i8 = implies %a, %b",
         [](const Grammar& g) {
             return KeInstr{IImplies{Name{2}, g.i(8), reg(0), reg(1)}};
         }},
        {"store %a, %b, align 8, volatile",
         [](const Grammar&) {
             return KeInstr{MStore{reg(0), reg(1), 8u, std::nullopt, true}};
         }},
        {"store.seq_cst %a, %b",
         [](const Grammar&) {
             return KeInstr{MStore{reg(0), reg(1), std::nullopt, MemoryOrdering::SeqCst, false}};
         }},
        {"%v: i32 = load.acquire %p, align 4, volatile",
         [](const Grammar& g) {
             return KeInstr{MLoad{Name{1}, g.i(32), reg(0), 4u, MemoryOrdering::Acq, true}};
         }},
        {"%v: ptr = alloca i64 4, align 16",
         [](const Grammar& g) {
             return KeInstr{MAlloca{Name{0}, g.intern(ptr_type()), imm(64, 4), 16u}};
         }},
        {"%q: ptr = getelementptr {i32, i64}, %p, i32 1",
         [](const Grammar& g) {
             return KeInstr{MGetElementPtr{
                 Name{1}, g.intern(ptr_type()), g.intern(struct_type({g.i(32), g.i(64)})), reg(0), {imm(32, 1)}}};
         }},
        {"%q: ptr = getelementptr i32, %p",
         [](const Grammar& g) {
             return KeInstr{MGetElementPtr{Name{1}, g.intern(ptr_type()), g.i(32), reg(0), {}}};
         }},
        {"invoke ptr f",
         [](const Grammar&) {
             return KeInstr{Invoke{
                 Operand::imm(FunctionPointer::internal(uuid_of(1))), {}, std::nullopt, std::nullopt, std::nullopt}};
         }},
        {"%r: i32 = invoke ptr f, i32 1, %a",
         [](const Grammar& g) {
             return KeInstr{Invoke{Operand::imm(FunctionPointer::internal(uuid_of(1))),
                                   {imm(32, 1), reg(0)},
                                   Name{1},
                                   g.i(32),
                                   std::nullopt}};
         }},
        {"%x: i32 = phi [%a, l1], [%b, l2]",
         [](const Grammar& g) {
             return KeInstr{Phi{Name{2}, g.i(32), {{reg(0), Label{0}}, {reg(1), Label{1}}}}};
         }},
        {"%x: i32 = phi [[2 x i8] undef, l1]",
         [](const Grammar& g) {
             return KeInstr{Phi{Name{0}, g.i(32), {{Operand::undef(g.intern(array_type(g.i(8), 2))), Label{0}}}}};
         }},
        {"%x: i32 = select %c, %a, %b",
         [](const Grammar& g) {
             return KeInstr{Select{Name{3}, reg(0), reg(1), reg(2), g.i(32)}};
         }},
        {"%x: i64 = cast.zext %a",
         [](const Grammar& g) {
             return KeInstr{Cast{Name{1}, g.i(64), reg(0), CastVariant::ZExt}};
         }},
        {"%x: {i8} = insertvalue %agg, %v, i32 0, i64 4294967295",
         [](const Grammar& g) {
             return KeInstr{InsertValue{Name{2}, g.intern(struct_type({g.i(8)})), reg(0), reg(1), {0u, 4294967295u}}};
         }},
        {"%x: i8 = extractvalue [2 x i8] undef, i8 1",
         [](const Grammar& g) {
             return KeInstr{ExtractValue{Name{0}, g.i(8), Operand::undef(g.intern(array_type(g.i(8), 2))), {1u}}};
         }},
        {"!assert %c", [](const Grammar&) { return KeInstr{MetaAssert{reg(0)}}; }},
        {"!assume i1 1", [](const Grammar&) { return KeInstr{MetaAssume{imm(1, 1)}}; }},
        {"%d: i1 = !isdef %a",
         [](const Grammar& g) {
             return KeInstr{MetaIsDef{Name{1}, g.i(1), reg(0)}};
         }},
        {"%p: fp64 = !prob.xpt %a",
         [](const Grammar& g) {
             return KeInstr{MetaProb{Name{1}, g.intern(float_type(FType::Fp64)),
                                     MetaProbOperand{MetaProbVariant::ExpectedValue, reg(0)}}};
         }},
        {"%n: i64 = !analysis.icnt i32 -65",
         [](const Grammar& g) {
             return KeInstr{MetaAnalysisStat{Name{0}, g.i(64), InstructionCount{InstructionFlags{0x41}}}};
         }},
        {"%n: i64 = !analysis.icnt i64 0x1FFFFFFFF",
         [](const Grammar& g) {
             return KeInstr{MetaAnalysisStat{Name{0}, g.i(64), InstructionCount{InstructionFlags{0x1FC3}}}};
         }},
        {"%n: i64 = !analysis.excnt",
         [](const Grammar& g) {
             return KeInstr{MetaAnalysisStat{Name{0}, g.i(64), ExecutionCount{}}};
         }},
        {"%n: i1 = !analysis.term.blockexit",
         [](const Grammar& g) {
             return KeInstr{MetaAnalysisStat{Name{0}, g.i(1), TerminationBehavior{BlockExit{}}}};
         }},
        {"%n: i1 = !analysis.term.reach exit, retry, exit",
         [](const Grammar& g) {
             return KeInstr{
                 MetaAnalysisStat{Name{0}, g.i(1), TerminationBehavior{ReachAny{{Label{0}, Label{1}, Label{0}}}}}};
         }},
        {"%f: i1 = !forall",
         [](const Grammar& g) {
             return KeInstr{MetaForall{Name{0}, g.i(1)}};
         }},
    };
    for (const RecordCase& c : cases) {
        Grammar g(c.line);
        g.resolver.known = {{"f", uuid_of(1)}};
        auto instr = parse_instruction(g.parser);
        ASSERT_TRUE(instr) << c.line << ": " << g.failure();
        EXPECT_TRUE(g.parser.at_end()) << c.line;
        EXPECT_TRUE(g.parser.findings().empty()) << c.line << ": " << g.messages().front();
        EXPECT_EQ(*instr, c.expected(g)) << c.line << "\n got " << instr->debug();
    }
}

TEST(InstrGrammar, WhereALineStops) {
    struct Case {
        const char* line;
        std::size_t stop;     // token index where the line ends
        const char* failure;  // furthest failure at that point
    };
    const Case cases[] = {
        // Trailing commas are left for what follows, and nothing takes them.
        {"%x: i32 = iadd.wrap %a, %b,", 8,
         "found end of input expected register, undef operand, immediate operand, 'align', or 'volatile'"},
        {"%x: i32 = phi [%a, l],", 10, "found end of input expected '[', 'align', or 'volatile'"},
        {"%n: i1 = !analysis.term.reach a, b,", 8, "found end of input expected label, 'align', or 'volatile'"},
        // A comma between the operands and the labels ends the operand list.
        {"%n: i1 = !analysis.term.reach %a, l", 6,
         "found 'l' expected register, undef operand, immediate operand, 'align', or 'volatile'"},
        // Alignment and volatile need their comma; volatile comes last.
        {"%v: i32 = load %p, volatile, align 4", 8, "found ',' expected end of input"},
        {"%v: i32 = load %p, align", 6, "found end of input expected token Number"},
        // A register operand is written without a type.
        {"%q: ptr = getelementptr ptr %p", 6,
         "found '%p' expected ',', 'undef', 'external', token Identifier, or end of input"},
    };
    for (const Case& c : cases) {
        Grammar g(c.line);
        ASSERT_TRUE(parse_instruction(g.parser)) << c.line;
        EXPECT_EQ(g.parser.pos(), c.stop) << c.line;
        EXPECT_FALSE(g.parser.end()) << c.line;
        EXPECT_EQ(g.failure(), c.failure) << c.line;
    }
}

TEST(InstrGrammar, RejectedLines) {
    struct Case {
        const char* line;
        const char* failure;
    };
    const Case cases[] = {
        {":", "found ':' expected token Register, or token InstrOp"},
        {"%x: i32 = :", "found ':' expected token InstrOp"},
        {"%x: = iadd.wrap %a, %b", "found '=' expected type"},
        {"%x i32 = iadd.wrap %a, %b", "found 'i32' expected ':'"},
        {"%x: i32 iadd.wrap %a, %b", "found 'IAdd<[\"wrap\"]>' expected '='"},
    };
    for (const Case& c : cases) {
        Grammar g(c.line);
        EXPECT_FALSE(parse_instruction(g.parser)) << c.line;
        EXPECT_EQ(g.parser.pos(), 0u) << c.line;
        EXPECT_EQ(g.failure(), c.failure) << c.line;
    }
    // An empty operand list leaves its labels behind where it stopped.
    Grammar g("%x: i32 = iadd.wrap :");
    ASSERT_TRUE(parse_instruction(g.parser));
    EXPECT_EQ(g.failure(), "found ':' expected type, phi operand list, operand list, label, or ','");
}

TEST(InstrGrammar, RegistersAndTypesOfAbandonedAttemptsStay) {
    // The additional-type attempt interns i64 before giving way; the typed-undef
    // attempt interns i32 before the constant is read.
    Grammar g("%x: i8 = iadd.wrap i64 1, i32 2");
    ASSERT_TRUE(parse_instruction(g.parser));
    EXPECT_EQ(g.registry.len(), 3u);
    // Numbers given while trying the phi form stay.
    Grammar k("%x: i32 = iadd.wrap [%a, %b]");
    ASSERT_TRUE(parse_instruction(k.parser));  // the phi form fails at %b; the operand list is empty
    EXPECT_EQ(k.parser.pos(), 5u);
    EXPECT_TRUE(k.state.registers.contains("a"));
    EXPECT_TRUE(k.state.registers.contains("x"));
}

struct TermCase {
    const char* text;
    std::function<KeTerminator(const Grammar&)> expected;
};

TEST(Terminators, Forms) {
    const TermCase cases[] = {
        {"ret void", [](const Grammar&) { return KeTerminator{Ret{std::nullopt}}; }},
        {"ret i32 0", [](const Grammar&) { return KeTerminator{Ret{imm(32, 0)}}; }},
        {"ret %x", [](const Grammar&) { return KeTerminator{Ret{reg(0)}}; }},
        {"ret i8 undef", [](const Grammar& g) { return KeTerminator{Ret{Operand::undef(g.i(8))}}; }},
        {"trap", [](const Grammar&) { return KeTerminator{Trap{}}; }},
        {"jump exit", [](const Grammar&) { return KeTerminator{Jump{Label{0}}}; }},
        {"branch %c, then, else",
         [](const Grammar&) {
             return KeTerminator{Branch{reg(0), Label{0}, Label{1}}};
         }},
        {"branch i1 1, a.b, a.b",
         [](const Grammar&) {
             return KeTerminator{Branch{imm(1, 1), Label{0}, Label{0}}};
         }},
    };
    for (const TermCase& c : cases) {
        Grammar g(c.text);
        auto t = parse_terminator(g.parser);
        ASSERT_TRUE(t) << c.text << ": " << g.failure();
        EXPECT_TRUE(g.parser.at_end()) << c.text;
        EXPECT_EQ(*t, c.expected(g)) << c.text;
    }
}

TEST(Terminators, Rejected) {
    struct Case {
        const char* text;
        const char* failure;
    };
    const Case cases[] = {
        {"ret", "found end of input expected register, undef operand, immediate operand, or 'void'"},
        {":", "found ':' expected 'Branch', 'Trap', 'Jump', or 'Ret'"},
        {"branch %c then, else", "found 'then' expected ','"},
        {"jump %x", "found '%x' expected label"},
    };
    for (const Case& c : cases) {
        Grammar g(c.text);
        EXPECT_FALSE(parse_terminator(g.parser)) << c.text;
        EXPECT_EQ(g.parser.pos(), 0u) << c.text;
        EXPECT_EQ(g.failure(), c.failure) << c.text;
    }
    // "jump label exit" jumps to "label" and leaves "exit" behind.
    Grammar g("jump label exit");
    ASSERT_TRUE(parse_terminator(g.parser));
    EXPECT_EQ(g.parser.pos(), 2u);
}

}  // namespace
}  // namespace keinstr
