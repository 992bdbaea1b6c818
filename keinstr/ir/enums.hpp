// The word-tabled enumerations carried by instructions, terminators and
// functions. Each X-macro table lists (value / debug name, word) in declared
// order; that order is the value's number, borsh tag and word-table index.
#pragma once

#include "keinstr/utils/enum_table.hpp"

namespace keinstr {

#define KE_VISIBILITY_TABLE(X) \
    X(Default, "default")      \
    X(Hidden, "hidden")        \
    X(Protected, "protected")
KE_DEFINE_TABLE_ENUM(Visibility, visibility, KE_VISIBILITY_TABLE)

#define KE_TERMINATOR_OP_TABLE(X) \
    X(Branch, "branch")           \
    X(Jump, "jump")               \
    X(Ret, "ret")                 \
    X(Trap, "trap")
KE_DEFINE_TABLE_ENUM(KeTerminatorOp, terminator_op, KE_TERMINATOR_OP_TABLE)

#define KE_OVERFLOW_SIGNEDNESS_POLICY_TABLE(X) \
    X(Wrap, "wrap")                            \
    X(SSat, "ssat")                            \
    X(USat, "usat")                            \
    X(STrap, "strap")                          \
    X(UTrap, "utrap")
KE_DEFINE_TABLE_ENUM(OverflowSignednessPolicy, overflow_signedness_policy,
                     KE_OVERFLOW_SIGNEDNESS_POLICY_TABLE)

#define KE_INTEGER_SIGNEDNESS_TABLE(X) \
    X(Signed, "signed")                \
    X(Unsigned, "unsigned")
KE_DEFINE_TABLE_ENUM(IntegerSignedness, integer_signedness, KE_INTEGER_SIGNEDNESS_TABLE)

#define KE_ICMP_VARIANT_TABLE(X) \
    X(Eq, "eq")                  \
    X(Ne, "ne")                  \
    X(Ugt, "ugt")                \
    X(Uge, "uge")                \
    X(Ult, "ult")                \
    X(Ule, "ule")                \
    X(Sgt, "sgt")                \
    X(Sge, "sge")                \
    X(Slt, "slt")                \
    X(Sle, "sle")
KE_DEFINE_TABLE_ENUM(ICmpVariant, icmp_variant, KE_ICMP_VARIANT_TABLE)

#define KE_ISHIFT_VARIANT_TABLE(X) \
    X(Lsl, "lsl")                  \
    X(Lsr, "lsr")                  \
    X(Asr, "asr")                  \
    X(Rol, "rol")                  \
    X(Ror, "ror")
KE_DEFINE_TABLE_ENUM(IShiftVariant, ishift_variant, KE_ISHIFT_VARIANT_TABLE)

#define KE_FCMP_VARIANT_TABLE(X) \
    X(Oeq, "oeq")                \
    X(Ogt, "ogt")                \
    X(Oge, "oge")                \
    X(Olt, "olt")                \
    X(Ole, "ole")                \
    X(One, "one")                \
    X(Ueq, "ueq")                \
    X(Ugt, "ugt")                \
    X(Uge, "uge")                \
    X(Ult, "ult")                \
    X(Ule, "ule")                \
    X(Une, "une")                \
    X(Ord, "ord")
KE_DEFINE_TABLE_ENUM(FCmpVariant, fcmp_variant, KE_FCMP_VARIANT_TABLE)

#define KE_MEMORY_ORDERING_TABLE(X) \
    X(Unordered, "unordered")       \
    X(Monotonic, "monotonic")       \
    X(Acq, "acquire")               \
    X(Rel, "release")               \
    X(AcqRel, "acq_rel")            \
    X(SeqCst, "seq_cst")
KE_DEFINE_TABLE_ENUM(MemoryOrdering, memory_ordering, KE_MEMORY_ORDERING_TABLE)

#define KE_CAST_VARIANT_TABLE(X) \
    X(Trunc, "trunc")            \
    X(ZExt, "zext")              \
    X(SExt, "sext")              \
    X(FpTrunc, "fptrunc")        \
    X(FpExt, "fpext")            \
    X(FpToUI, "fptoui")          \
    X(FpToSI, "fptosi")          \
    X(UIToFp, "uitofp")          \
    X(SIToFp, "sitofp")          \
    X(PtrToInt, "ptrtoint")      \
    X(IntToPtr, "inttoptr")      \
    X(Bitcast, "bitcast")
KE_DEFINE_TABLE_ENUM(CastVariant, cast_variant, KE_CAST_VARIANT_TABLE)

// Selects the variant of MetaProbOperand (same numbers).
#define KE_META_PROB_VARIANT_TABLE(X) \
    X(Probability, "prb")             \
    X(ExpectedValue, "xpt")           \
    X(Variance, "var")
KE_DEFINE_TABLE_ENUM(MetaProbVariant, meta_prob_variant, KE_META_PROB_VARIANT_TABLE)

// The 37 opcodes: debug name (also the record name) and mnemonic.
#define KE_INSTR_OP_TABLE(X)                 \
    X(IAdd, "iadd")                          \
    X(ISub, "isub")                          \
    X(IMul, "imul")                          \
    X(IDiv, "idiv")                          \
    X(IRem, "irem")                          \
    X(ICmp, "icmp")                          \
    X(ISht, "isht")                          \
    X(INeg, "ineg")                          \
    X(IAnd, "and")                           \
    X(IOr, "or")                             \
    X(IXor, "xor")                           \
    X(INot, "not")                           \
    X(IImplies, "implies")                   \
    X(IEquiv, "equiv")                       \
    X(FAdd, "fadd")                          \
    X(FSub, "fsub")                          \
    X(FMul, "fmul")                          \
    X(FDiv, "fdiv")                          \
    X(FRem, "frem")                          \
    X(FCmp, "fcmp")                          \
    X(FNeg, "fneg")                          \
    X(MLoad, "load")                         \
    X(MStore, "store")                       \
    X(MAlloca, "alloca")                     \
    X(MGetElementPtr, "getelementptr")       \
    X(Invoke, "invoke")                      \
    X(Phi, "phi")                            \
    X(Select, "select")                      \
    X(Cast, "cast")                          \
    X(InsertValue, "insertvalue")            \
    X(ExtractValue, "extractvalue")          \
    X(MetaAssert, "!assert")                 \
    X(MetaAssume, "!assume")                 \
    X(MetaIsDef, "!isdef")                   \
    X(MetaProb, "!prob")                     \
    X(MetaAnalysisStat, "!analysis")         \
    X(MetaForall, "!forall")
KE_DEFINE_TABLE_ENUM(KeInstrOp, instr_op, KE_INSTR_OP_TABLE)

// The mnemonic of an opcode ("iadd" .. "!forall").
constexpr std::string_view opname(KeInstrOp op) { return word(op); }

// Opcodes 31 to 36, exactly those whose mnemonic begins with "!".
constexpr bool is_meta(KeInstrOp op) {
    return enum_index(op) >= enum_index(KeInstrOp::MetaAssert) &&
           enum_index(op) < enum_count<KeInstrOp>;
}

}  // namespace keinstr
