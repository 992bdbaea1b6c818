#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "keinstr/storage/borsh_ir.hpp"
#include "tests/keinstr/borsh_ir/samples.hpp"

namespace keinstr {
namespace {

using namespace keinstr::test;
using Bytes = std::vector<std::uint8_t>;

template <class T>
Bytes encode(const T& value) {
    auto r = borsh_encode(value);
    EXPECT_TRUE(r.has_value()) << r.error().to_string();
    return r ? *r : Bytes{};
}

// Decodes a whole buffer: the record must end exactly at the buffer's end.
template <class T>
BorshResult<T> decode_all(const Bytes& data) {
    BorshReader r(data);
    auto v = borsh_read<T>(r);
    if (v) {
        EXPECT_EQ(r.position(), data.size());
    }
    return v;
}

template <class T>
std::string decode_error(const Bytes& data) {
    auto v = decode_all<T>(data);
    return v ? std::string("<decoded>") : v.error().to_string();
}

template <class T>
void expect_round_trip(const T& value) {
    const Bytes data = encode(value);
    auto back = decode_all<T>(data);
    ASSERT_TRUE(back.has_value()) << back.error().to_string();
    EXPECT_EQ(*back, value);
    EXPECT_EQ(encode(*back), data);
}

// Writes `value`, checks the bytes, then reads them back to an equal value.
template <class T>
void expect_layout(const T& value, const Bytes& expected) {
    EXPECT_EQ(encode(value), expected);
    auto back = decode_all<T>(expected);
    ASSERT_TRUE(back.has_value()) << back.error().to_string();
    EXPECT_EQ(*back, value);
}

Bytes reg_bytes(std::uint32_t n) { return bytes({0, int(n & 0xFF), int((n >> 8) & 0xFF), 0, 0}); }
Bytes u32_bytes(std::uint32_t n) {
    return bytes({int(n & 0xFF), int((n >> 8) & 0xFF), int((n >> 16) & 0xFF), int(n >> 24)});
}
// Opcode, dest register 1 and the type tref(0x10): the head of most instructions.
Bytes instr_head(int op) {
    Bytes b = bytes({op});
    append(b, u32_bytes(1));
    append(b, tref(0x10).uuid);
    return b;
}

TEST(BorshIr, LeafLayouts) {
    const Typeref e = tref(0x50);
    const Typeref f = tref(0x60);
    {
        SCOPED_TRACE("i32");
        expect_layout(PrimaryType{IType{32}}, bytes({0x00, 0x20, 0, 0, 0}));
    }
    {
        SCOPED_TRACE("ptr and label are the tag alone");
        expect_layout(PrimaryType{PtrType{}}, bytes({0x03}));
        expect_layout(PrimaryType{LabelType{}}, bytes({0x06}));
    }
    {
        SCOPED_TRACE("scalable vector: lane type before lane count");
        expect_layout(PrimaryType{VectorType{VcSize::scalable(4), PrimaryBasicType{FType::Fp32}}},
                      bytes({0x05, 0x01, 0x02, 0x01, 0x04, 0x00}));
    }
    {
        SCOPED_TRACE("wildcard and extension");
        expect_layout(PrimaryType{WildcardType{0x1234}}, bytes({0x04, 0x34, 0x12}));
        Bytes ext = bytes({0x02});
        append(ext, e.uuid);
        append(ext, bytes({2, 0, 0, 0, 8, 0, 0, 0, 16, 0, 0, 0}));
        expect_layout(PrimaryType{ExtType{e.uuid, {8, 16}}}, ext);
    }
    {
        SCOPED_TRACE("packed struct");
        Bytes s = bytes({0x02, 0x02, 0, 0, 0});
        append(s, e.uuid);
        append(s, f.uuid);
        s.push_back(0x01);
        expect_layout(struct_type({e, f}, true), s);
    }
    {
        SCOPED_TRACE("array: element before count");
        Bytes a = bytes({0x01});
        append(a, e.uuid);
        append(a, bytes({0x0A, 0x00}));
        expect_layout(array_type(e, 10), a);
    }
    {
        SCOPED_TRACE("operands");
        expect_layout(imm_int(8, -1), bytes({0x01, 0x00, 0x08, 0, 0, 0, 0x01, 0, 0, 0, 0xFF}));
        expect_layout(reg(3), bytes({0x00, 0x03, 0, 0, 0}));
        Bytes u = bytes({0x02});
        append(u, e.uuid);
        expect_layout(Operand{e}, u);
        Bytes p = bytes({0x01, 0x02, 0x01});
        append(p, f.uuid);
        expect_layout(Operand{AnyConst{FunctionPointer::external(f.uuid)}}, p);
    }
}

TEST(BorshIr, FloatConstantKeepsMantissaAndScale) {
    const FConst c{FType::Fp64, Decimal(BigInt(150), 2)};
    const Bytes expected = bytes({0x03, 0x02, 0, 0, 0, 0x96, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(encode(c), expected);
    auto back = decode_all<FConst>(expected);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->value.mantissa(), BigInt(150));
    EXPECT_EQ(back->value.scale(), 2);

    const FConst negative_scale{FType::PPCFp128, Decimal(BigInt(-7), -3)};
    auto again = decode_all<FConst>(encode(negative_scale));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->ty, FType::PPCFp128);
    EXPECT_EQ(again->value.mantissa(), BigInt(-7));
    EXPECT_EQ(again->value.scale(), -3);
}

TEST(BorshIr, BigIntegerForms) {
    struct Case {
        std::int64_t value;
        Bytes form;
    };
    const std::vector<Case> written = {
        {0, bytes({1, 0, 0, 0, 0x00})},          {1, bytes({1, 0, 0, 0, 0x01})},
        {-1, bytes({1, 0, 0, 0, 0xFF})},         {127, bytes({1, 0, 0, 0, 0x7F})},
        {128, bytes({2, 0, 0, 0, 0x80, 0x00})},  {-128, bytes({1, 0, 0, 0, 0x80})},
        {-129, bytes({2, 0, 0, 0, 0x7F, 0xFF})}, {255, bytes({2, 0, 0, 0, 0xFF, 0x00})},
        {-256, bytes({2, 0, 0, 0, 0x00, 0xFF})}, {-32768, bytes({2, 0, 0, 0, 0x00, 0x80})},
    };
    for (const auto& c : written) {
        SCOPED_TRACE(c.value);
        Bytes out;
        BorshWriter w(out);
        ASSERT_TRUE(serialize_bigint_borsh(BigInt(c.value), w).has_value());
        EXPECT_EQ(out, c.form);
        BorshReader r(c.form);
        auto back = deserialize_bigint_borsh(r);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, BigInt(c.value));
    }
    // Other two's-complement forms read as their value.
    const std::vector<Case> read_only = {
        {0, bytes({0, 0, 0, 0})},
        {-1, bytes({2, 0, 0, 0, 0xFF, 0xFF})},
        {1, bytes({2, 0, 0, 0, 0x01, 0x00})},
    };
    for (const auto& c : read_only) {
        BorshReader r(c.form);
        auto back = deserialize_bigint_borsh(r);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, BigInt(c.value));
    }
    // The width plays no part: an i8 holding 300 reads as is.
    auto wide = decode_all<IConst>(bytes({0x08, 0, 0, 0, 0x02, 0, 0, 0, 0x2C, 0x01}));
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(wide->value, BigInt(300));
}

TEST(BorshIr, CompositeLayouts) {
    {
        SCOPED_TRACE("default function: 47 bytes");
        const Function f = Function::default_function();
        Bytes expected;
        append(expected, f.uuid);
        append(expected, bytes({0x00, 0, 0, 0, 0, 0x00, 1,    0,    0,    0, 0, 0, 0, 0,    0,   0,
                                0,    0, 0, 0, 0, 0,    0x03, 0x00, 0x00, 0, 0, 0, 0, 0x00, 0x00}));
        ASSERT_EQ(expected.size(), 47u);
        expect_layout(f, expected);
    }
    {
        SCOPED_TRACE("empty module");
        expect_layout(Module{}, Bytes(8, 0));
    }
    {
        SCOPED_TRACE("iadd: 32 bytes");
        const Typeref i32 = tref(0x33);
        Bytes expected = bytes({0x00, 0x02, 0, 0, 0});
        append(expected, i32.uuid);
        append(expected, bytes({0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x00}));
        ASSERT_EQ(expected.size(), 32u);
        expect_layout(KeInstr{IAdd{Name{2}, i32, reg(0), reg(1), OverflowSignednessPolicy::Wrap}}, expected);
    }
    {
        SCOPED_TRACE("invoke without result or calling convention");
        Bytes expected = bytes({0x19});
        append(expected, reg_bytes(4));
        append(expected, bytes({0, 0, 0, 0, 0x00, 0x00, 0x00}));
        expect_layout(KeInstr{Invoke{reg(4), {}, std::nullopt, std::nullopt, std::nullopt}}, expected);
    }
    {
        SCOPED_TRACE("select: the type last");
        Bytes expected = bytes({0x1B, 0x07, 0, 0, 0});
        append(expected, reg_bytes(1));
        append(expected, reg_bytes(2));
        append(expected, reg_bytes(3));
        append(expected, tref(0x44).uuid);
        expect_layout(KeInstr{Select{Name{7}, reg(1), reg(2), reg(3), tref(0x44)}}, expected);
    }
    {
        SCOPED_TRACE("terminators and calling conventions");
        expect_layout(KeTerminator{Ret{}}, bytes({0x02, 0x00}));
        expect_layout(KeTerminator{Trap{}}, bytes({0x03}));
        expect_layout(KeTerminator{Jump{Label{5}}}, bytes({0x01, 0x05, 0, 0, 0}));
        Bytes branch = bytes({0x00});
        append(branch, reg_bytes(1));
        append(branch, bytes({2, 0, 0, 0, 3, 0, 0, 0}));
        expect_layout(KeTerminator{Branch{reg(1), Label{2}, Label{3}}}, branch);
        expect_layout(CallingConvention::numbered(64), bytes({0x0E, 0x40, 0, 0, 0}));
        expect_layout(CallingConvention(), bytes({0x00}));
        expect_layout(CallingConvention(CallingConventionKind::CfguardCheckC), bytes({0x0D}));
    }
    {
        SCOPED_TRACE("analysis statistics");
        expect_layout(AnalysisStatistic{InstructionCount{InstructionFlags{0x401}}}, bytes({0x00, 0x01, 0x04, 0, 0}));
        expect_layout(AnalysisStatistic{ExecutionCount{}}, bytes({0x01}));
        expect_layout(AnalysisStatistic{TerminationBehavior{ReachAny{{Label{4}}}}},
                      bytes({0x02, 0x02, 1, 0, 0, 0, 4, 0, 0, 0}));
    }
}

TEST(BorshIr, EveryRecordKindRoundTrips) {
    const auto instrs = every_instruction();
    ASSERT_EQ(instrs.size(), enum_count<KeInstrOp>);
    for (std::size_t i = 0; i < instrs.size(); ++i) {
        SCOPED_TRACE(instrs[i].debug());
        EXPECT_EQ(instrs[i].index(), i);
        expect_round_trip(instrs[i]);
    }
    for (const AnyType& t :
         {int_type(8388607), float_type(FType::Bf16), ptr_type(), label_type(), wildcard_type(7),
          AnyType{PrimaryType{ExtType{uuid_of(1), {}}}}, vector_type(VcSize::fixed(3), PrimaryBasicType{IType{1}}),
          vector_type(VcSize::fixed(2), PrimaryBasicType{ExtType{uuid_of(2), {1, 2, 3}}}),
          vector_type(VcSize::scalable(9), PrimaryBasicType{PtrType{}}),
          vector_type(VcSize::fixed(0), PrimaryBasicType{WildcardType{300}}), array_type(tref(1), 0),
          struct_type({}, false), struct_type({tref(1), tref(2)}, false)}) {
        SCOPED_TRACE(t.debug());
        expect_round_trip(t);
    }
    for (const AnalysisStatistic& s :
         {AnalysisStatistic{InstructionCount{InstructionFlags{0xFFFFFFFF}}}, AnalysisStatistic{ExecutionCount{}},
          AnalysisStatistic{TerminationBehavior{BlockExit{}}}, AnalysisStatistic{TerminationBehavior{FunctionExit{}}},
          AnalysisStatistic{TerminationBehavior{ReachAny{}}}}) {
        expect_round_trip(s);
    }
    for (auto v : {MetaProbVariant::Probability, MetaProbVariant::ExpectedValue, MetaProbVariant::Variance}) {
        expect_round_trip(MetaProbOperand{v, reg(3)});
    }
    for (std::uint8_t tag = 0; tag < 14; ++tag) expect_round_trip(*CallingConvention::from_tag(tag));
    expect_round_trip(CallingConvention::numbered(0xFFFFFFFF));
    expect_round_trip(Operand{AnyConst{IConst{IType{200}, BigInt(1) << 190}}});
    expect_round_trip(Operand{AnyConst{FunctionPointer::internal(uuid_of(9))}});
    expect_round_trip(rich_function(7));
    expect_round_trip(Function::default_function());
    expect_round_trip(ExternalFunction{uuid_of(3), "ext", CallingConvention::numbered(3), {tref(4)}, std::nullopt});
    expect_round_trip(sample_module());
}

TEST(BorshIr, FailureTextsAtTheirTriggers) {
    const Bytes default_fn = encode(Function::default_function());
    // The default function's bytes up to (not including) the visibility marker.
    const Bytes up_to_visibility(default_fn.begin(), default_fn.begin() + 39);

    struct Case {
        const char* what;
        std::function<std::string()> run;
        std::string expected;
    };
    const auto tag_msg = [](int t) { return "Unexpected variant tag: " + std::to_string(t); };
    const std::string option2 = "Invalid Option representation: 2. The first byte must be 0 or 1";
    const auto with = [](Bytes head, const Bytes& tail) {
        append(head, tail);
        return head;
    };
    const Bytes two_regs = with(reg_bytes(5), reg_bytes(6));

    const std::vector<Case> cases = {
        {"PrimaryType", [&] { return decode_error<PrimaryType>(bytes({7})); }, tag_msg(7)},
        {"FType",
         [&] {
             return decode_error<PrimaryType>(bytes({1, 7}));
         },
         tag_msg(7)},
        {"PrimaryBasicType",
         [&] {
             return decode_error<PrimaryType>(bytes({5, 5}));
         },
         tag_msg(5)},
        {"VcSize",
         [&] {
             return decode_error<PrimaryType>(bytes({5, 3, 2, 4, 0}));
         },
         tag_msg(2)},
        {"AnyType", [&] { return decode_error<AnyType>(bytes({3})); }, tag_msg(3)},
        {"FunctionPointer",
         [&] {
             return decode_error<AnyConst>(bytes({2, 2}));
         },
         tag_msg(2)},
        {"AnyConst",
         [&] {
             return decode_error<Operand>(bytes({1, 3}));
         },
         tag_msg(3)},
        {"Operand", [&] { return decode_error<Operand>(bytes({3})); }, tag_msg(3)},
        {"KeInstr", [&] { return decode_error<KeInstr>(bytes({37})); }, tag_msg(37)},
        {"KeTerminator", [&] { return decode_error<KeTerminator>(bytes({4})); }, tag_msg(4)},
        {"CallingConvention", [&] { return decode_error<CallingConvention>(bytes({15})); }, tag_msg(15)},
        {"Visibility",
         [&] {
             return decode_error<Function>(with(up_to_visibility, bytes({1, 3})));
         },
         tag_msg(3)},
        {"OverflowSignednessPolicy",
         [&] { return decode_error<KeInstr>(with(with(instr_head(0), two_regs), bytes({5}))); }, tag_msg(5)},
        {"IntegerSignedness", [&] { return decode_error<KeInstr>(with(with(instr_head(3), two_regs), bytes({2}))); },
         tag_msg(2)},
        {"ICmpVariant", [&] { return decode_error<KeInstr>(with(with(instr_head(5), two_regs), bytes({10}))); },
         tag_msg(10)},
        {"IShiftVariant", [&] { return decode_error<KeInstr>(with(with(instr_head(6), two_regs), bytes({5}))); },
         tag_msg(5)},
        {"FCmpVariant", [&] { return decode_error<KeInstr>(with(with(instr_head(19), two_regs), bytes({13}))); },
         tag_msg(13)},
        {"MemoryOrdering",
         [&] {
             return decode_error<KeInstr>(with(with(instr_head(21), reg_bytes(5)), bytes({0, 1, 6})));
         },
         tag_msg(6)},
        {"CastVariant", [&] { return decode_error<KeInstr>(with(with(instr_head(28), reg_bytes(5)), bytes({12}))); },
         tag_msg(12)},
        {"MetaProbOperand", [&] { return decode_error<KeInstr>(with(instr_head(34), bytes({3}))); }, tag_msg(3)},
        {"AnalysisStatistic", [&] { return decode_error<KeInstr>(with(instr_head(35), bytes({3}))); }, tag_msg(3)},
        {"TerminationScope",
         [&] {
             return decode_error<KeInstr>(with(instr_head(35), bytes({2, 3})));
         },
         tag_msg(3)},
        {"packed flag",
         [&] {
             return decode_error<AnyType>(bytes({2, 0, 0, 0, 0, 2}));
         },
         "Invalid bool representation: 2"},
        {"volatile flag",
         [&] {
             return decode_error<KeInstr>(with(with(bytes({22}), two_regs), bytes({0, 0, 2})));
         },
         "Invalid bool representation: 2"},
        {"meta_function flag",
         [&] {
             return decode_error<Function>(with(up_to_visibility, bytes({0, 0, 0, 0, 0, 0, 2})));
         },
         "Invalid bool representation: 2"},
        {"invoke dest marker",
         [&] {
             return decode_error<KeInstr>(with(with(bytes({25}), reg_bytes(5)), bytes({0, 0, 0, 0, 2})));
         },
         option2},
        {"alignment marker",
         [&] { return decode_error<KeInstr>(with(with(instr_head(23), reg_bytes(5)), bytes({2}))); }, option2},
        {"ret marker",
         [&] {
             return decode_error<KeTerminator>(bytes({2, 9}));
         },
         "Invalid Option representation: 9. The first byte must be 0 or 1"},
        {"aux_uuid marker",
         [&] {
             return decode_error<Function>(with(up_to_visibility, bytes({0, 0, 0, 0, 0, 0, 0, 2})));
         },
         option2},
        {"function name not UTF-8",
         [&] {
             return decode_error<Function>(with(Bytes(16, 0xAB), bytes({1, 1, 0, 0, 0, 0xFF})));
         },
         "invalid utf-8 sequence of 1 bytes from index 0"},
        {"function name cut inside a sequence",
         [&] {
             return decode_error<Function>(with(Bytes(16, 0xAB), bytes({1, 3, 0, 0, 0, 'a', 0xE2, 0x82})));
         },
         "incomplete utf-8 byte sequence from index 1"},
        {"external function name not UTF-8",
         [&] {
             return decode_error<ExternalFunction>(with(Bytes(16, 1), bytes({2, 0, 0, 0, 'a', 0xC0})));
         },
         "invalid utf-8 sequence of 1 bytes from index 1"},
        {"end inside a UUID",
         [&] {
             return decode_error<Operand>(bytes({2, 1, 2, 3}));
         },
         "Unexpected length of input"},
        {"end inside a big integer",
         [&] {
             return decode_error<IConst>(bytes({8, 0, 0, 0, 3, 0, 0, 0, 1, 2}));
         },
         "Unexpected length of input"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.run(), c.expected);
    }
}

TEST(BorshIr, OrderedCollectionsSortAndKeepTheLastEntry) {
    Bytes data;
    BorshWriter w(data);
    w.uuid(uuid_of(1)).u8(0).u32(0).u8(0);
    // Body: labels 7, 2, 7 (the second 7 wins), and 4 whose label field says 9.
    w.u32(4);
    const auto entry = [&](std::uint32_t key, std::uint32_t field, KeTerminator term) {
        w.u32(key);
        borsh_write(w, BasicBlock{Label{field}, {}, std::move(term)});
    };
    entry(7, 7, Trap{});
    entry(2, 2, Ret{});
    entry(7, 7, Jump{Label{2}});
    entry(4, 9, Trap{});
    w.u8(0).u8(0);
    w.u32(3).u16(5).u16(2).u16(5);  // wildcard set with a repeat
    w.u8(0).u8(0);
    ASSERT_TRUE(w.status().has_value());

    auto f = decode_all<Function>(data);
    ASSERT_TRUE(f.has_value()) << f.error().to_string();
    std::vector<std::uint32_t> keys;
    for (const auto& [label, block] : f->body) keys.push_back(label.id);
    EXPECT_EQ(keys, (std::vector<std::uint32_t>{2, 4, 7}));
    EXPECT_EQ(f->body.at(Label{7}).terminator, KeTerminator{Jump{Label{2}}});
    EXPECT_EQ(f->body.at(Label{4}).label, Label{9});
    EXPECT_EQ(f->wildcard_types, (std::set<std::uint16_t>{2, 5}));

    // A long body, thinned out while it is read: a few labels repeated out of
    // order, then distinct labels descending among them. Under each label the
    // block read last stays.
    Bytes longer;
    BorshWriter lw(longer);
    lw.uuid(uuid_of(1)).u8(0).u32(0).u8(0);
    constexpr std::uint32_t kBlocks = 6000;
    lw.u32(kBlocks);
    LabelMap<BasicBlock>::container_type written;
    for (std::uint32_t i = 0; i < kBlocks; ++i) {
        const Label label{i < 4000 ? (i * 7919) % 61 : kBlocks - i};
        written.emplace_back(label, BasicBlock{label, {}, Jump{Label{i}}});
        lw.u32(label.id);
        borsh_write(lw, written.back().second);
    }
    lw.u8(0).u8(0).u32(0).u8(0).u8(0);
    ASSERT_TRUE(lw.status().has_value());
    auto thinned = decode_all<Function>(longer);
    ASSERT_TRUE(thinned.has_value()) << thinned.error().to_string();
    EXPECT_EQ(thinned->body.size(), 2001u);  // labels 0 to 2000
    EXPECT_EQ(thinned->body, LabelMap<BasicBlock>::from_entries(written));

    // A module whose two functions share a key keeps the one read last; the
    // function's own uuid field is kept as written.
    Bytes mod;
    BorshWriter mw(mod);
    Function first = Function::default_function();
    Function second = Function::default_function();
    second.name = "second";
    mw.u32(2);
    mw.uuid(uuid_of(5));
    borsh_write(mw, first);
    mw.uuid(uuid_of(5));
    borsh_write(mw, second);
    mw.u32(0);
    auto m = decode_all<Module>(mod);
    ASSERT_TRUE(m.has_value());
    ASSERT_EQ(m->functions.size(), 1u);
    EXPECT_EQ(*m->functions.at(uuid_of(5)), second);
}

TEST(BorshIr, TruncationAtEveryOffset) {
    const Module sample = sample_module();
    const Bytes data = encode(sample);
    for (std::size_t n = 0; n < data.size(); ++n) {
        const Bytes prefix(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
        auto m = decode_all<Module>(prefix);
        ASSERT_FALSE(m.has_value()) << "prefix of " << n << " bytes decoded";
        EXPECT_EQ(m.error().to_string(), "Unexpected length of input") << n;
    }
    // Streamed in small chunks the whole form still reads back.
    std::size_t at = 0;
    BorshReader chunked([&](std::span<std::uint8_t> dst) -> BorshResult<std::size_t> {
        const std::size_t n = std::min<std::size_t>({dst.size(), 7, data.size() - at});
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), n, dst.begin());
        at += n;
        return n;
    });
    auto m = borsh_read<Module>(chunked);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(*m, sample);
}

// Lists longer than the up-front allowance (blocks of thousands of instructions, long
// operand lists) read back whole from a span and from a source in small pulls.
TEST(BorshIr, LongListsReadBackFromSpansAndSources) {
    Function f = rich_function(0x41);
    BasicBlock& entry = f.body.at(Label{0});
    const InstrList one_of_each = entry.instructions;
    for (int i = 0; i < 300; ++i)
        entry.instructions.insert(entry.instructions.end(), one_of_each.begin(), one_of_each.end());
    std::vector<Operand> args(5000, reg(3));
    entry.instructions.push_back(Invoke{reg(1), args, Name{99}, tref(0x10), std::nullopt});
    const Bytes data = encode(f);
    auto from_span = decode_all<Function>(data);
    ASSERT_TRUE(from_span.has_value()) << from_span.error().to_string();
    EXPECT_EQ(*from_span, f);
    for (const std::size_t pull : {std::size_t{5}, std::size_t{4096}}) {
        std::size_t at = 0;
        BorshReader r(
            [&](std::span<std::uint8_t> dst) -> BorshResult<std::size_t> {
                const std::size_t n = std::min({dst.size(), pull, data.size() - at});
                std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), n, dst.begin());
                at += n;
                return n;
            },
            1024);
        auto from_source = borsh_read<Function>(r);
        ASSERT_TRUE(from_source.has_value()) << from_source.error().to_string();
        EXPECT_EQ(*from_source, f);
    }
}

TEST(BorshIr, ForgedCountsEndAtTheEndOfInput) {
    const std::string eof = "Unexpected length of input";
    const Bytes huge = bytes({0xFF, 0xFF, 0xFF, 0xFF});
    // getelementptr with 2^32-1 indices announced and none present.
    Bytes gep = instr_head(24);
    append(gep, tref(0x20).uuid);
    append(gep, reg_bytes(1));
    append(gep, huge);
    EXPECT_EQ(decode_error<KeInstr>(gep), eof);
    // A block announcing 2^32-1 instructions, followed by zeros that read as some of them.
    Bytes block(4, 0);
    append(block, huge);
    block.resize(block.size() + 65536, 0);
    EXPECT_EQ(decode_error<BasicBlock>(block), eof);
    // A module of 2^32-1 functions.
    EXPECT_EQ(decode_error<Module>(huge), eof);
    // A name of 2^32-1 bytes.
    Bytes ext(16, 1);
    append(ext, huge);
    append(ext, bytes({'a', 'b'}));
    EXPECT_EQ(decode_error<ExternalFunction>(ext), eof);
    // A registry of 2^64-1 types.
    const Bytes registry(8, 0xFF);
    BorshReader r(registry);
    auto reg = read_type_registry(r);
    ASSERT_FALSE(reg.has_value());
    EXPECT_EQ(reg.error().to_string(), eof);
}

}  // namespace
}  // namespace keinstr
