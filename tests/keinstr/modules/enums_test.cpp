#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keinstr/ir/statistic.hpp"
#include "keinstr/ir/calling_convention.hpp"
#include "keinstr/ir/enums.hpp"
#include "keinstr/ir/instruction_flags.hpp"

namespace keinstr {
namespace {

// Every word parses back to its own value, and the table has the expected
// words and debug names in declared order.
template <TableEnum E>
void expect_table(std::vector<std::pair<std::string, std::string>> expected) {
    ASSERT_EQ(enum_count<E>, expected.size()) << EnumTable<E>::type_name;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        E value = enum_values<E>[i];
        EXPECT_EQ(enum_index(value), i);
        EXPECT_EQ(word(value), expected[i].first) << EnumTable<E>::type_name << " #" << i;
        EXPECT_EQ(debug_name(value), expected[i].second) << EnumTable<E>::type_name << " #" << i;
        EXPECT_EQ(from_str<E>(expected[i].first), value) << expected[i].first;
        EXPECT_EQ(enum_from_index<E>(i), value);
    }
    EXPECT_EQ(enum_from_index<E>(expected.size()), std::nullopt);
    EXPECT_EQ(enum_from_index<E>(255), std::nullopt);
}

TEST(EnumTables, WordsAndDebugNamesInDeclaredOrder) {
    expect_table<Visibility>({{"default", "Default"}, {"hidden", "Hidden"}, {"protected", "Protected"}});
    expect_table<KeTerminatorOp>({{"branch", "Branch"}, {"jump", "Jump"}, {"ret", "Ret"}, {"trap", "Trap"}});
    expect_table<OverflowSignednessPolicy>(
        {{"wrap", "Wrap"}, {"ssat", "SSat"}, {"usat", "USat"}, {"strap", "STrap"}, {"utrap", "UTrap"}});
    expect_table<IntegerSignedness>({{"signed", "Signed"}, {"unsigned", "Unsigned"}});
    expect_table<ICmpVariant>({{"eq", "Eq"},
                               {"ne", "Ne"},
                               {"ugt", "Ugt"},
                               {"uge", "Uge"},
                               {"ult", "Ult"},
                               {"ule", "Ule"},
                               {"sgt", "Sgt"},
                               {"sge", "Sge"},
                               {"slt", "Slt"},
                               {"sle", "Sle"}});
    expect_table<IShiftVariant>({{"lsl", "Lsl"}, {"lsr", "Lsr"}, {"asr", "Asr"}, {"rol", "Rol"}, {"ror", "Ror"}});
    expect_table<FCmpVariant>({{"oeq", "Oeq"},
                               {"ogt", "Ogt"},
                               {"oge", "Oge"},
                               {"olt", "Olt"},
                               {"ole", "Ole"},
                               {"one", "One"},
                               {"ueq", "Ueq"},
                               {"ugt", "Ugt"},
                               {"uge", "Uge"},
                               {"ult", "Ult"},
                               {"ule", "Ule"},
                               {"une", "Une"},
                               {"ord", "Ord"}});
    expect_table<MemoryOrdering>({{"unordered", "Unordered"},
                                  {"monotonic", "Monotonic"},
                                  {"acquire", "Acq"},
                                  {"release", "Rel"},
                                  {"acq_rel", "AcqRel"},
                                  {"seq_cst", "SeqCst"}});
    expect_table<CastVariant>({{"trunc", "Trunc"},
                               {"zext", "ZExt"},
                               {"sext", "SExt"},
                               {"fptrunc", "FpTrunc"},
                               {"fpext", "FpExt"},
                               {"fptoui", "FpToUI"},
                               {"fptosi", "FpToSI"},
                               {"uitofp", "UIToFp"},
                               {"sitofp", "SIToFp"},
                               {"ptrtoint", "PtrToInt"},
                               {"inttoptr", "IntToPtr"},
                               {"bitcast", "Bitcast"}});
    expect_table<MetaProbVariant>({{"prb", "Probability"}, {"xpt", "ExpectedValue"}, {"var", "Variance"}});
    expect_table<AnalysisStatisticOp>(
        {{"icnt", "InstructionCount"}, {"excnt", "ExecutionCount"}, {"term", "TerminationBehavior"}});
    expect_table<KeInstrOp>({{"iadd", "IAdd"},
                             {"isub", "ISub"},
                             {"imul", "IMul"},
                             {"idiv", "IDiv"},
                             {"irem", "IRem"},
                             {"icmp", "ICmp"},
                             {"isht", "ISht"},
                             {"ineg", "INeg"},
                             {"and", "IAnd"},
                             {"or", "IOr"},
                             {"xor", "IXor"},
                             {"not", "INot"},
                             {"implies", "IImplies"},
                             {"equiv", "IEquiv"},
                             {"fadd", "FAdd"},
                             {"fsub", "FSub"},
                             {"fmul", "FMul"},
                             {"fdiv", "FDiv"},
                             {"frem", "FRem"},
                             {"fcmp", "FCmp"},
                             {"fneg", "FNeg"},
                             {"load", "MLoad"},
                             {"store", "MStore"},
                             {"alloca", "MAlloca"},
                             {"getelementptr", "MGetElementPtr"},
                             {"invoke", "Invoke"},
                             {"phi", "Phi"},
                             {"select", "Select"},
                             {"cast", "Cast"},
                             {"insertvalue", "InsertValue"},
                             {"extractvalue", "ExtractValue"},
                             {"!assert", "MetaAssert"},
                             {"!assume", "MetaAssume"},
                             {"!isdef", "MetaIsDef"},
                             {"!prob", "MetaProb"},
                             {"!analysis", "MetaAnalysisStat"},
                             {"!forall", "MetaForall"}});
}

TEST(EnumTables, ParseIsExactAndCaseSensitive) {
    EXPECT_EQ(parse_visibility("Default"), std::nullopt);
    EXPECT_EQ(parse_visibility(" hidden"), std::nullopt);
    EXPECT_EQ(parse_visibility("hidden "), std::nullopt);
    EXPECT_EQ(parse_visibility(""), std::nullopt);
    EXPECT_EQ(parse_instr_op("prob"), std::nullopt);
    EXPECT_EQ(parse_instr_op("!prob"), KeInstrOp::MetaProb);
    EXPECT_EQ(parse_instr_op("and"), KeInstrOp::IAnd);
    EXPECT_EQ(parse_instr_op("iand"), std::nullopt);
    EXPECT_EQ(parse_instr_op("IADD"), std::nullopt);
    EXPECT_EQ(parse_instr_op("IAdd"), std::nullopt);  // debug names are not words
    EXPECT_EQ(parse_memory_ordering("Acq"), std::nullopt);
    EXPECT_EQ(parse_memory_ordering("acq"), std::nullopt);
    EXPECT_EQ(parse_memory_ordering("acq_rel"), MemoryOrdering::AcqRel);
    EXPECT_EQ(parse_meta_prob_variant("prob"), std::nullopt);
    EXPECT_EQ(parse_meta_prob_variant("ev"), std::nullopt);
    EXPECT_EQ(parse_analysis_statistic_op("term.reach"), std::nullopt);
    EXPECT_EQ(parse_cast_variant("bitcast\n"), std::nullopt);
}

TEST(EnumTables, MetaOpcodesAreThoseStartingWithBang) {
    for (KeInstrOp op : enum_values<KeInstrOp>) {
        EXPECT_EQ(is_meta(op), opname(op).starts_with("!")) << opname(op);
    }
    EXPECT_EQ(joined_words<IntegerSignedness>(), "signed, unsigned");
    EXPECT_EQ(joined_words<MemoryOrdering>(), "unordered, monotonic, acquire, release, acq_rel, seq_cst");
}

TEST(CallingConventionText, NamedAndNumberedRoundTrip) {
    const std::vector<std::pair<std::string, std::string>> named = {{"cc", "C"},
                                                                    {"fastcc", "FastC"},
                                                                    {"coldcc", "ColdC"},
                                                                    {"ghccc", "GhcC"},
                                                                    {"hipecc", "HipeC"},
                                                                    {"anyregcc", "AnyRegC"},
                                                                    {"preservemostcc", "PreserveMostC"},
                                                                    {"preserveallcc", "PreserveAllC"},
                                                                    {"preservenonecc", "PreserveNoneC"},
                                                                    {"cxx_fast_tlscc", "CxxFastTlsC"},
                                                                    {"tailcc", "TailC"},
                                                                    {"swiftcc", "SwiftC"},
                                                                    {"swifttailcc", "SwiftTailC"},
                                                                    {"cfguard_checkcc", "CfguardCheckC"}};
    ASSERT_EQ(named.size(), kNamedCallingConventionCount);
    for (std::size_t i = 0; i < named.size(); ++i) {
        auto cc = CallingConvention::from_tag(i);
        ASSERT_TRUE(cc.has_value());
        EXPECT_EQ(cc->to_string(), named[i].first);
        EXPECT_EQ(cc->debug_string(), named[i].second);
        EXPECT_EQ(CallingConvention::from_str(named[i].first), cc);
    }
    for (std::uint32_t n : {0u, 7u, 12u, 4294967295u}) {
        auto cc = CallingConvention::numbered(n);
        EXPECT_EQ(CallingConvention::from_str(cc.to_string()), cc);
        EXPECT_EQ(cc.debug_string(), "Numbered(" + std::to_string(n) + ")");
        EXPECT_EQ(cc.tag(), 14);
    }
    EXPECT_EQ(CallingConvention::from_tag(14, 9), CallingConvention::numbered(9));
    EXPECT_EQ(CallingConvention::from_tag(15), std::nullopt);
}

TEST(CallingConventionText, NumberRules) {
    struct Case {
        std::string text;
        std::optional<CallingConvention> expected;
    };
    const std::vector<Case> cases = {
        {"cc", CallingConvention(CallingConventionKind::C)},
        {"cc0", CallingConvention::numbered(0)},
        {"cc+12", CallingConvention::numbered(12)},
        {"cc012", CallingConvention::numbered(12)},
        {"cc4294967295", CallingConvention::numbered(4294967295u)},
        {"cc4294967296", std::nullopt},
        {"cc99999999999999999999", std::nullopt},
        {"cc-1", std::nullopt},
        {"cc-0", std::nullopt},
        {"cc+", std::nullopt},
        {"cc++1", std::nullopt},
        {"ccx", std::nullopt},
        {"cc1x", std::nullopt},
        {"cc 1", std::nullopt},
        {"CC1", std::nullopt},
        {"c1", std::nullopt},
        {"FastCC", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CallingConvention::from_str(c.text), c.expected) << c.text;
    }
}

TEST(InstructionFlagsText, DebugFormFollowsMembers) {
    const std::vector<std::pair<std::uint32_t, std::string>> cases = {
        {0x0, "InstructionFlags(0x0)"},
        {0x1, "InstructionFlags(META)"},
        {0x401, "InstructionFlags(META | MEMORY)"},
        {0xC0, "InstructionFlags(ARITHMETIC | ARITHMETIC_INT)"},
        {0x1C0, "InstructionFlags(ARITHMETIC | ARITHMETIC_INT | ARITHMETIC_FP)"},
        {0x1800, "InstructionFlags(CONTROL_FLOW | TERMINATOR)"},
        {0x80, "InstructionFlags(0x80)"},
        {0x5, "InstructionFlags(META | 0x4)"},
        {0x1FC3,
         "InstructionFlags(META | SIMPLE | ARITHMETIC | ARITHMETIC_INT | ARITHMETIC_FP | "
         "INVOKE | MEMORY | CONTROL_FLOW | TERMINATOR)"},
        {0xFFFFFFFF,
         "InstructionFlags(META | SIMPLE | ARITHMETIC | ARITHMETIC_INT | ARITHMETIC_FP | "
         "INVOKE | MEMORY | CONTROL_FLOW | TERMINATOR | 0xffffe03c)"},
    };
    for (const auto& [bits, text] : cases) {
        EXPECT_EQ(debug_string(InstructionFlags{bits}), text) << std::hex << bits;
    }
    EXPECT_EQ(InstructionFlags::from_bits_truncate(0xFFFFFFFF).bits, 0x1FC3u);
    EXPECT_TRUE(InstructionFlags::ARITHMETIC_INT.contains(InstructionFlags::ARITHMETIC));
}

}  // namespace
}  // namespace keinstr
