// The word-tabled enumerations carried by instructions, terminators and
// functions. Each X-macro table lists (value / debug name, word) in declared
// order; that order is the value's number, borsh tag and word-table index.
#pragma once

#include "keinstr/utils/enum_table.hpp"

namespace keinstr {

// clang-format off
#define KE_VISIBILITY_TABLE(X) \
    X(Default, "default")      \
    X(Hidden, "hidden")        \
    X(Protected, "protected")
// clang-format on
KE_DEFINE_TABLE_ENUM(Visibility, visibility, KE_VISIBILITY_TABLE)

// clang-format off
#define KE_TERMINATOR_OP_TABLE(X) \
    X(Branch, "branch")           \
    X(Jump, "jump")               \
    X(Ret, "ret")                 \
    X(Trap, "trap")
// clang-format on
KE_DEFINE_TABLE_ENUM(KeTerminatorOp, terminator_op, KE_TERMINATOR_OP_TABLE)

// clang-format off
#define KE_OVERFLOW_SIGNEDNESS_POLICY_TABLE(X) \
    X(Wrap, "wrap")                            \
    X(SSat, "ssat")                            \
    X(USat, "usat")                            \
    X(STrap, "strap")                          \
    X(UTrap, "utrap")
// clang-format on
KE_DEFINE_TABLE_ENUM(OverflowSignednessPolicy, overflow_signedness_policy, KE_OVERFLOW_SIGNEDNESS_POLICY_TABLE)

// clang-format off
#define KE_INTEGER_SIGNEDNESS_TABLE(X) \
    X(Signed, "signed")                \
    X(Unsigned, "unsigned")
// clang-format on
KE_DEFINE_TABLE_ENUM(IntegerSignedness, integer_signedness, KE_INTEGER_SIGNEDNESS_TABLE)

// clang-format off
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
// clang-format on
KE_DEFINE_TABLE_ENUM(ICmpVariant, icmp_variant, KE_ICMP_VARIANT_TABLE)

// clang-format off
#define KE_ISHIFT_VARIANT_TABLE(X) \
    X(Lsl, "lsl")                  \
    X(Lsr, "lsr")                  \
    X(Asr, "asr")                  \
    X(Rol, "rol")                  \
    X(Ror, "ror")
// clang-format on
KE_DEFINE_TABLE_ENUM(IShiftVariant, ishift_variant, KE_ISHIFT_VARIANT_TABLE)

// clang-format off
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
// clang-format on
KE_DEFINE_TABLE_ENUM(FCmpVariant, fcmp_variant, KE_FCMP_VARIANT_TABLE)

// clang-format off
#define KE_MEMORY_ORDERING_TABLE(X) \
    X(Unordered, "unordered")       \
    X(Monotonic, "monotonic")       \
    X(Acq, "acquire")               \
    X(Rel, "release")               \
    X(AcqRel, "acq_rel")            \
    X(SeqCst, "seq_cst")
// clang-format on
KE_DEFINE_TABLE_ENUM(MemoryOrdering, memory_ordering, KE_MEMORY_ORDERING_TABLE)

// clang-format off
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
// clang-format on
KE_DEFINE_TABLE_ENUM(CastVariant, cast_variant, KE_CAST_VARIANT_TABLE)

// Selects the variant of MetaProbOperand (same numbers).
// clang-format off
#define KE_META_PROB_VARIANT_TABLE(X) \
    X(Probability, "prb")             \
    X(ExpectedValue, "xpt")           \
    X(Variance, "var")
// clang-format on
KE_DEFINE_TABLE_ENUM(MetaProbVariant, meta_prob_variant, KE_META_PROB_VARIANT_TABLE)

// The columns of the opcode table beyond the mnemonic: what the parser, the
// validator and the printer read about an opcode's line.

// How an opcode takes variant words (".wrap", ".acquire").
enum class VariantForm : std::uint8_t {
    None,      // no variant word
    Word,      // exactly one word, shown again after the mnemonic
    Hidden,    // exactly one word, not shown (cast)
    Ordering,  // at most one word, a memory ordering, shown as an ", atomic" clause
    Own,       // one word (two for "!analysis.term") with rules and text of its own
};

// Whether an opcode defines a register.
enum class DestinationForm : std::uint8_t {
    Required,
    None,
    Optional,
};

// How the operands are written after the mnemonic and its variant.
enum class OperandShape : std::uint8_t {
    List,           // " a, b, c"
    Load,           // " [volatile] addr[, atomic ORD][, align N]"
    Store,          // " [volatile] addr, value[, atomic ORD][, align N]"
    Alloca,         // " TYPE count[, align N]"
    GetElementPtr,  // " TYPE, base, index, .."
    Call,           // " [cconv] callee, arg, .."
    PhiPairs,       // " [operand, label], .."
    Aggregate,      // " aggregate[, value], i32 index, .."
    Statistic,      // the statistic's own words; no operands
};

// The operand count of an opcode that counts its operands with rules of its own.
inline constexpr int kOwnArity = -1;

// The 37 opcodes: debug name (also the record name), mnemonic, variant form,
// operand count (or kOwnArity), destination, operand shape.
// clang-format off
#define KE_INSTR_OP_TABLE(X)                                                                   \
    X(IAdd, "iadd", Word, 2, Required, List)                                                   \
    X(ISub, "isub", Word, 2, Required, List)                                                   \
    X(IMul, "imul", Word, 2, Required, List)                                                   \
    X(IDiv, "idiv", Word, 2, Required, List)                                                   \
    X(IRem, "irem", Word, 2, Required, List)                                                   \
    X(ICmp, "icmp", Word, 2, Required, List)                                                   \
    X(ISht, "isht", Word, 2, Required, List)                                                   \
    X(INeg, "ineg", None, 1, Required, List)                                                   \
    X(IAnd, "and", None, 2, Required, List)                                                    \
    X(IOr, "or", None, 2, Required, List)                                                      \
    X(IXor, "xor", None, 2, Required, List)                                                    \
    X(INot, "not", None, 1, Required, List)                                                    \
    X(IImplies, "implies", None, 2, Required, List)                                            \
    X(IEquiv, "equiv", None, 2, Required, List)                                                \
    X(FAdd, "fadd", None, 2, Required, List)                                                   \
    X(FSub, "fsub", None, 2, Required, List)                                                   \
    X(FMul, "fmul", None, 2, Required, List)                                                   \
    X(FDiv, "fdiv", None, 2, Required, List)                                                   \
    X(FRem, "frem", None, 2, Required, List)                                                   \
    X(FCmp, "fcmp", Word, 2, Required, List)                                                   \
    X(FNeg, "fneg", None, 1, Required, List)                                                   \
    X(MLoad, "load", Ordering, 1, Required, Load)                                              \
    X(MStore, "store", Ordering, 2, None, Store)                                               \
    X(MAlloca, "alloca", None, 1, Required, Alloca)                                            \
    X(MGetElementPtr, "getelementptr", None, kOwnArity, Required, GetElementPtr)               \
    X(Invoke, "invoke", None, kOwnArity, Optional, Call)                                       \
    X(Phi, "phi", None, kOwnArity, Required, PhiPairs)                                         \
    X(Select, "select", None, 3, Required, List)                                               \
    X(Cast, "cast", Hidden, 1, Required, List)                                                 \
    X(InsertValue, "insertvalue", None, kOwnArity, Required, Aggregate)                        \
    X(ExtractValue, "extractvalue", None, kOwnArity, Required, Aggregate)                      \
    X(MetaAssert, "!assert", None, 1, None, List)                                              \
    X(MetaAssume, "!assume", None, 1, None, List)                                              \
    X(MetaIsDef, "!isdef", None, 1, Required, List)                                            \
    X(MetaProb, "!prob", Own, kOwnArity, Required, List)                                       \
    X(MetaAnalysisStat, "!analysis", Own, kOwnArity, Required, Statistic)                      \
    X(MetaForall, "!forall", None, 0, Required, List)
// clang-format on
KE_DEFINE_TABLE_ENUM(KeInstrOp, instr_op, KE_INSTR_OP_TABLE)

// The mnemonic of an opcode ("iadd" .. "!forall").
constexpr std::string_view opname(KeInstrOp op) { return word(op); }

// The columns of one opcode.
struct OpcodeForm {
    VariantForm variant;
    int arity;
    DestinationForm destination;
    OperandShape shape;
};

#define KE_OPCODE_FORM_(name, word, variant, arity, destination, shape) \
    OpcodeForm{VariantForm::variant, arity, DestinationForm::destination, OperandShape::shape},
// The columns of every opcode, indexed by opcode.
inline constexpr std::array<OpcodeForm, enum_count<KeInstrOp>> kOpcodeForms{{KE_INSTR_OP_TABLE(KE_OPCODE_FORM_)}};
#undef KE_OPCODE_FORM_

constexpr VariantForm variant_form(KeInstrOp op) { return kOpcodeForms[enum_index(op)].variant; }
// The fixed operand count of an opcode, or kOwnArity.
constexpr int fixed_arity(KeInstrOp op) { return kOpcodeForms[enum_index(op)].arity; }
constexpr DestinationForm destination_form(KeInstrOp op) { return kOpcodeForms[enum_index(op)].destination; }
constexpr OperandShape operand_shape(KeInstrOp op) { return kOpcodeForms[enum_index(op)].shape; }

// Opcodes 31 to 36, exactly those whose mnemonic begins with "!".
constexpr bool is_meta(KeInstrOp op) {
    return enum_index(op) >= enum_index(KeInstrOp::MetaAssert) && enum_index(op) < enum_count<KeInstrOp>;
}

}  // namespace keinstr
