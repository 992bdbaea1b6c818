// Instruction validation: every message with its span, the order of several
// findings on one line, which checks end the line, the keyword lists, and the
// alignment check.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grammar_fixture.hpp"
#include "keinstr/text/instr_grammar.hpp"
#include "keinstr/text/validate.hpp"

namespace keinstr {
namespace {

using test::Grammar;

struct MessageCase {
    const char* line;
    std::vector<std::string> messages;  // every finding, in order, at the line's span
};

// Parses `line` as one instruction that must take the whole input.
std::optional<KeInstr> parse_line(Grammar& g) {
    auto instr = parse_instruction(g.parser);
    EXPECT_TRUE(instr) << g.source << ": " << g.failure();
    EXPECT_TRUE(g.parser.at_end()) << g.source << " stopped at token " << g.parser.pos();
    return instr;
}

void expect_line_findings(const MessageCase& c) {
    Grammar g(c.line);
    auto instr = parse_line(g);
    std::vector<Finding> expected;
    for (const std::string& m : c.messages) expected.push_back(Finding{TokenRange{0, g.token_count()}, m});
    EXPECT_EQ(g.parser.findings(), expected) << c.line;
    if (!instr || c.messages.empty()) return;
    // A check that ends the line yields the placeholder; when the last finding
    // is one that goes on, the record is still built.
    static constexpr std::string_view kGoesOn[] = {
        "unknown overflow", "unknown signedness", "unknown integer",
        "unknown floating", "unknown cast",       "unknown memory",
        "index ",           "alignment ",         "volatile ",
    };
    bool goes_on = false;
    for (std::string_view prefix : kGoesOn) goes_on = goes_on || c.messages.back().starts_with(prefix);
    if (goes_on) {
        EXPECT_NE(*instr, fallback_instruction()) << c.line;
    } else {
        EXPECT_EQ(*instr, fallback_instruction()) << c.line;
    }
}

TEST(Validate, ShapeOfTheLine) {
    const MessageCase cases[] = {
        // 2. additional type
        {"%q: ptr = getelementptr %p, i32 1", {"syntax error for getelementptr instruction: missing additional type"}},
        {"%x: i32 = iadd.wrap i32, %a, %b", {"syntax error for iadd instruction: unexpected additional type"}},
        {"iadd.wrap i32, [%a, l]", {"syntax error for iadd instruction: unexpected additional type"}},
        // 3. pair form
        {"%x: i32 = iadd.wrap [%a, l1], [%b, l2]",
         {"syntax error for iadd instruction: only 'phi' instructions can use the [operand, label] syntax, use "
          "operands separated by commas instead"}},
        {"iadd [%a, l1]",
         {"syntax error for iadd instruction: only 'phi' instructions can use the [operand, label] syntax, use "
          "operands separated by commas instead"}},
        // 4. destination
        {"%x: i32 = store %a, %b",
         {"syntax error for store instruction: destination register specified where none expected"}},
        {"%x: i1 = !assert %c",
         {"syntax error for !assert instruction: destination register specified where none expected"}},
        {"%x: i1 = !assume %c",
         {"syntax error for !assume instruction: destination register specified where none expected"}},
        {"%x: i32 = phi %a, %b",
         {"syntax error for phi instruction: expected [operand, label] pairs, got operands separated by commas "
          "instead"}},
        {"phi %a, %b",
         {"syntax error for phi instruction: expected [operand, label] pairs, got operands separated by commas "
          "instead"}},
        {"phi [%a, l1]", {"syntax error for phi instruction: missing destination register"}},
        {"iadd.wrap %a, %b", {"syntax error for iadd instruction: missing destination register"}},
        {"!forall", {"syntax error for !forall instruction: missing destination register"}},
        {"alloca %n", {"syntax error for alloca instruction: missing destination register"}},
        // 5. label list
        {"%x: i32 = !analysis.term.funcexit a, b", {"syntax error for !analysis instruction: unexpected label list"}},
        {"%x: i32 = iadd.wrap %a, %b l", {"syntax error for iadd instruction: unexpected label list"}},
        {"%x: i32 = !analysis.reach.term a", {"syntax error for !analysis instruction: unexpected label list"}},
        // 6. orderings
        {"%x: i32 = load.acquire.release %p",
         {"arity mismatch for load instruction variant: expected at most 1 variant operand, got 2"}},
        {"store.a.b.c %a, %b",
         {"arity mismatch for store instruction variant: expected at most 1 variant operand, got 3"}},
        // 7. variant presence
        {"%x: i32 = iadd %a, %b", {"syntax error for iadd instruction: expected variant, got no variant"}},
        {"%x: i32 = !analysis", {"syntax error for !analysis instruction: expected variant, got no variant"}},
        {"%x: i32 = and.wrap %a, %b", {"syntax error for and instruction: expected no variant, got variant"}},
        {"%x: i32 = phi. [%a, l]", {"syntax error for phi instruction: expected no variant, got variant"}},
        // 8. variant count
        {"%x: i32 = iadd.wrap.ssat %a, %b",
         {"arity mismatch for iadd instruction variant: expected 1 variant operands, got 2"}},
        {"%x: i32 = !analysis.term",
         {"arity mismatch for !analysis instruction variant: expected 2 variant operands, got 1"}},
        {"%x: i32 = !analysis.term.reach.x a",
         {"arity mismatch for !analysis instruction variant: expected 2 variant operands, got 3"}},
        {"%x: i32 = !analysis.foo.bar",
         {"arity mismatch for !analysis instruction variant: expected 1 variant operands, got 2"}},
        // 9. fixed operand counts
        {"%x: i32 = iadd.wrap %a", {"arity mismatch for iadd instruction: expected 2 operands, got 1"}},
        {"store %a", {"arity mismatch for store instruction: expected 2 operands, got 1"}},
        {"%x: i32 = select %c, %a", {"arity mismatch for select instruction: expected 3 operands, got 2"}},
        {"%x: i32 = not", {"arity mismatch for not instruction: expected 1 operands, got 0"}},
        {"%x: i1 = !forall %a", {"arity mismatch for !forall instruction: expected 0 operands, got 1"}},
    };
    for (const MessageCase& c : cases) expect_line_findings(c);
}

TEST(Validate, OpcodeRules) {
    const MessageCase cases[] = {
        {"%q: ptr = getelementptr i32,",
         {"arity mismatch for getelementptr instruction: expected at least 1 operand for indices, got 0"}},
        {"invoke", {"arity mismatch for invoke instruction: expected at least 1 operand (function pointer), got 0"}},
        {"%x: i32 = insertvalue %agg, %v",
         {"arity mismatch for insertvalue instruction: expected aggregate, value, and at least one index, got 2"}},
        {"%x: i32 = extractvalue %agg",
         {"arity mismatch for extractvalue instruction: expected aggregate and at least one index, got 1"}},
        {"%x: i32 = extractvalue %agg, i32 -1, i64 4294967296, %r",
         {"index 0 must be non-negative", "index 1 is too large to fit in u32",
          "index 2 must be an integer immediate"}},
        {"%x: i32 = insertvalue %agg, %v, i8 1, fp32 1.0, i1 0", {"index 1 must be an integer immediate"}},
        {"%x: i32 = !prob.foo %a", {"unknown meta-probability variant: foo (expected one of: prb, xpt, var)"}},
        {"%x: i32 = !prob.prb %a, %b", {"arity mismatch for meta-probability variant prb: expected 1 operands, got 2"}},
        {"%x: i32 = !prob.var", {"arity mismatch for meta-probability variant var: expected 1 operands, got 0"}},
        {"%x: i32 = !analysis.foo", {"unknown analysis statistic op: foo (expected one of: icnt, excnt, term)"}},
        {"%x: i32 = !analysis.icnt", {"arity mismatch for !analysis.icnt: expected 1 operand, got 0"}},
        {"%x: i32 = !analysis.icnt %a", {"type error for !analysis.icnt: expected integer immediate operand"}},
        {"%x: i32 = !analysis.icnt fp32 1.0", {"type error for !analysis.icnt: expected integer immediate operand"}},
        {"%x: i32 = !analysis.excnt %a", {"arity mismatch for !analysis.excnt: expected 0 operands, got 1"}},
        {"%x: i32 = !analysis.term.funcexit %a", {"arity mismatch for !analysis.term: expected 0 operands, got 1"}},
        {"%x: i32 = !analysis.term.nowhere",
         {"unknown termination scope variant: nowhere (expected one of: blockexit, funcexit, reach)"}},
        {"%x: i32 = !analysis.term.reach", {"syntax error for !analysis.term.reach: expected at least 1 label"}},
    };
    for (const MessageCase& c : cases) expect_line_findings(c);
}

TEST(Validate, UnknownVariantWordsListTheEnumerationInDeclaredOrder) {
    const MessageCase cases[] = {
        {"%x: i32 = isub.Wrap %a, %b",
         {"unknown overflow signedness policy: Wrap (expected one of: wrap, ssat, usat, strap, utrap)"}},
        {"%x: i32 = idiv.foo %a, %b", {"unknown signedness variant: foo (expected one of: signed, unsigned)"}},
        {"%x: i1 = icmp.lt %a, %b",
         {"unknown integer comparison variant: lt (expected one of: eq, ne, ugt, uge, ult, ule, sgt, sge, slt, sle)"}},
        {"%x: i32 = isht.shl %a, %b", {"unknown integer isht variant: shl (expected one of: lsl, lsr, asr, rol, ror)"}},
        {"%x: i1 = fcmp.uno %a, %b",
         {"unknown floating-point comparison variant: uno (expected one of: oeq, ogt, oge, olt, ole, one, ueq, ugt, "
          "uge, ult, ule, une, ord)"}},
        {"%x: i32 = cast. %a",
         {"unknown cast variant:  (expected one of: trunc, zext, sext, fptrunc, fpext, fptoui, fptosi, uitofp, "
          "sitofp, ptrtoint, inttoptr, bitcast)"}},
        {"%x: i32 = load.acq %p",
         {"unknown memory ordering variant: acq (expected one of: unordered, monotonic, acquire, release, acq_rel, "
          "seq_cst)"}},
        {"store.acq %p, %v",
         {"unknown memory ordering variant: acq (expected one of: unordered, monotonic, acquire, release, acq_rel, "
          "seq_cst)"}},
    };
    for (const MessageCase& c : cases) expect_line_findings(c);
    EXPECT_EQ(expected_keyword_list<IntegerSignedness>(), "signed, unsigned");
    EXPECT_EQ(expected_keyword_list<AnalysisStatisticOp>(), "icnt, excnt, term");
}

TEST(Validate, FindingsThatGoOnKeepTheirOrder) {
    const MessageCase cases[] = {
        // Alignment, volatile, then the unknown word.
        {"%x: i32 = iadd.foo %a, %b, align 4, volatile",
         {"alignment specifier is only valid for load, store and alloca instructions, got iadd instruction",
          "volatile specifier is only valid for load and store instructions, got iadd instruction",
          "unknown overflow signedness policy: foo (expected one of: wrap, ssat, usat, strap, utrap)"}},
        {"%x: i32 = fadd %a, %b, volatile",
         {"volatile specifier is only valid for load and store instructions, got fadd instruction"}},
        {"%x: ptr = alloca %n, align 8, volatile",
         {"volatile specifier is only valid for load and store instructions, got alloca instruction"}},
        {"%x: i32 = extractvalue %a, %i, align 2",
         {"alignment specifier is only valid for load, store and alloca instructions, got extractvalue instruction",
          "index 0 must be an integer immediate"}},
        // A check that ends the line hides the later ones.
        {"%x: i32 = and.x %a, align 4", {"syntax error for and instruction: expected no variant, got variant"}},
        {"%x: i32 = iadd.wrap %a, align 4", {"arity mismatch for iadd instruction: expected 2 operands, got 1"}},
        {"%x: i32 = store.a.b %a",
         {"syntax error for store instruction: destination register specified where none "
          "expected"}},
        {"%x: i32 = !prob.foo %a, %b, volatile",
         {"volatile specifier is only valid for load and store instructions, got !prob instruction",
          "unknown meta-probability variant: foo (expected one of: prb, xpt, var)"}},
    };
    for (const MessageCase& c : cases) expect_line_findings(c);
}

TEST(Validate, AlignmentValueSpansTheClause) {
    struct Case {
        const char* line;
        std::vector<std::string> messages;  // the alignment finding first, at the clause
        std::optional<std::uint32_t> alignment;
    };
    const Case cases[] = {
        {"%v: i32 = load %p, align 0", {"invalid alignment value: must be between 1 and 4294967295, got 0"}, 0},
        {"%v: i32 = load %p, align -8", {"invalid alignment value: must be between 1 and 4294967295, got -8"}, 8},
        {"%v: i32 = load %p, align 4294967296",
         {"invalid alignment value: must be between 1 and 4294967295, got 4294967296"},
         0},
        {"%v: i32 = load %p, align 0x100000003",
         {"invalid alignment value: must be between 1 and 4294967295, got 4294967299"},
         3},
        {"%v: i32 = load %p, align 4294967295", {}, 4294967295u},
        {"%v: i32 = load %p, align 3", {}, 3},
    };
    for (const Case& c : cases) {
        Grammar g(c.line);
        auto instr = parse_line(g);
        ASSERT_TRUE(instr) << c.line;
        std::vector<Finding> expected;
        for (const std::string& m : c.messages) expected.push_back(Finding{TokenRange{6, 9}, m});
        EXPECT_EQ(g.parser.findings(), expected) << c.line;
        const auto* load = std::get_if<MLoad>(&instr->variant());
        ASSERT_NE(load, nullptr) << c.line;
        EXPECT_EQ(load->alignement, c.alignment) << c.line;
    }
    // On another opcode: the value finding at the clause, then the opcode finding
    // at the line.
    Grammar g("%x: i32 = iadd.wrap %a, %b, align 0");
    parse_line(g);
    EXPECT_EQ(
        g.parser.findings(),
        (std::vector<Finding>{{{8, 11}, "invalid alignment value: must be between 1 and 4294967295, got 0"},
                              {{0, 11},
                               "alignment specifier is only valid for load, store and alloca instructions, got iadd "
                               "instruction"}}));
}

TEST(Validate, DestinationIsNumberedAfterTheOperandsEvenWhenRejected) {
    Grammar g("%s: i32 = iadd i32 1, %x, %y");
    parse_line(g);
    EXPECT_EQ(g.messages().size(), 1u);
    EXPECT_EQ(g.state.registers, (NameNumbers{"x", "y", "s"}));
    // A destination named among the operands keeps the operand's number.
    Grammar h("%a: i32 = iadd.wrap %b, %a");
    auto instr = parse_line(h);
    ASSERT_TRUE(instr);
    EXPECT_EQ(instr->destination(), Name{1});
}

}  // namespace
}  // namespace keinstr
