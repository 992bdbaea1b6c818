// Instructions are written straight into a writer's room and read straight from the
// bytes a reader has in hand, with a field-by-field path beside it for all else. These
// tests hold the two paths to the same bytes, values and errors: a sink writer with a
// one-byte buffer and a reader with a tiny buffer take the field-by-field path; a
// vector writer, a sink writer with a large buffer and a span reader the direct one.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "keinstr/storage/borsh_ir.hpp"
#include "tests/keinstr/borsh_ir/samples.hpp"

namespace keinstr {
namespace {

using namespace keinstr::test;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Operand imm_big(std::uint32_t bits, const BigInt& v) { return Operand{AnyConst{IConst{IType{bits}, v}}}; }
Operand imm_float(const BigInt& mantissa, std::int64_t scale) {
    return Operand{AnyConst{FConst{FType::Fp32, Decimal(mantissa, scale)}}};
}

// Every opcode, then instructions whose immediates sit at and past the 64-bit edges
// (past them the direct path gives way), numbered and named calling conventions,
// empty and long lists.
InstrList edge_instructions() {
    InstrList out = every_instruction();
    const Typeref t = tref(0x10);
    const std::vector<BigInt> values = {0,
                                        1,
                                        -1,
                                        127,
                                        128,
                                        -128,
                                        -129,
                                        kMax,
                                        kMin,
                                        kMin + 1,
                                        BigInt(kMax) + 1,
                                        BigInt(kMin) - 1,
                                        BigInt(1) << 64,
                                        -(BigInt(1) << 64),
                                        BigInt(1) << 100,
                                        -(BigInt(3) << 120)};
    for (const BigInt& v : values) {
        out.push_back(IAdd{Name{1}, t, imm_big(64, v), reg(2), OverflowSignednessPolicy::Wrap});
        out.push_back(FMul{Name{2}, t, imm_float(v, -5), imm_float(-v, kMax)});
        out.push_back(MetaProb{Name{3}, t, MetaProbOperand{MetaProbVariant::ExpectedValue, imm_big(8, v)}});
    }
    out.push_back(MLoad{Name{4}, t, Operand{tref(0x30)}, std::nullopt, std::nullopt, false});
    out.push_back(MStore{imm_big(1, 1), Operand{tref(0x40)}, 0xFFFFFFFFu, MemoryOrdering::Acq, false});
    out.push_back(Invoke{reg(1), {}, std::nullopt, std::nullopt, std::nullopt});
    out.push_back(Invoke{Operand{AnyConst{FunctionPointer::internal(uuid_of(3))}},
                         {imm_big(64, BigInt(1) << 70), reg(5)},
                         Name{5},
                         t,
                         CallingConvention()});
    out.push_back(Invoke{reg(1), std::vector<Operand>(300, imm_big(32, -7)), Name{6}, t,
                         CallingConvention::numbered(0xFFFFFFFFu)});
    out.push_back(Phi{Name{7}, t, {}});
    out.push_back(MGetElementPtr{Name{8}, t, t, reg(1), {}});
    out.push_back(ExtractValue{Name{9}, t, reg(1), {}});
    return out;
}

// A function whose entry block holds `copies` runs of the edge instructions: enough
// for records to straddle every buffer size used below.
Function edge_function(int copies) {
    Function f = rich_function(0x42);
    BasicBlock& entry = f.body.at(Label{0});
    entry.instructions.clear();
    const InstrList run = edge_instructions();
    for (int i = 0; i < copies; ++i) entry.instructions.insert(entry.instructions.end(), run.begin(), run.end());
    return f;
}

Bytes through_vector(const Function& f) {
    Bytes out;
    BorshWriter w(out);
    borsh_write(w, f);
    EXPECT_TRUE(w.finish());
    return out;
}

Bytes through_sink(const Function& f, std::size_t buffer) {
    Bytes out;
    BorshWriter w(
        [&](std::span<const std::uint8_t> chunk) -> BorshResult<void> {
            out.insert(out.end(), chunk.begin(), chunk.end());
            return {};
        },
        buffer);
    borsh_write(w, f);
    EXPECT_TRUE(w.finish());
    EXPECT_EQ(w.bytes_written(), out.size());
    return out;
}

// The record read from a span (direct path where it applies) and from a source through
// a 16-byte buffer (field by field).
template <class T>
std::pair<BorshResult<T>, BorshResult<T>> read_both_ways(const Bytes& data) {
    BorshReader span_reader(data);
    auto direct = borsh_read<T>(span_reader);
    std::size_t at = 0;
    BorshReader source_reader(
        [&](std::span<std::uint8_t> dst) -> BorshResult<std::size_t> {
            const std::size_t n = std::min(dst.size(), data.size() - at);
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), n, dst.begin());
            at += n;
            return n;
        },
        16);
    auto stepwise = borsh_read<T>(source_reader);
    if (direct && stepwise) {
        EXPECT_EQ(span_reader.position(), source_reader.position());
    }
    return {std::move(direct), std::move(stepwise)};
}

TEST(BorshDirectPath, WritersAgreeByteForByte) {
    const Function f = edge_function(40);
    // A one-byte buffer never has room for a record: every record goes field by field.
    const Bytes expected = through_sink(f, 1);
    EXPECT_EQ(through_vector(f), expected);
    for (const std::size_t buffer :
         {std::size_t{23}, std::size_t{4096}, std::size_t{128 * 1024}, std::size_t{1} << 22}) {
        SCOPED_TRACE(buffer);
        EXPECT_EQ(through_sink(f, buffer), expected);
    }
}

TEST(BorshDirectPath, ReadersAgreeOnValues) {
    const Function f = edge_function(3);
    const Bytes data = through_vector(f);
    auto [direct, stepwise] = read_both_ways<Function>(data);
    ASSERT_TRUE(direct.has_value()) << direct.error().to_string();
    ASSERT_TRUE(stepwise.has_value()) << stepwise.error().to_string();
    EXPECT_EQ(*direct, f);
    EXPECT_EQ(*stepwise, f);
}

// Every byte of the encoded instructions replaced by values that hit tag, marker and
// count limits: both readers fail with the same text or read the same value.
TEST(BorshDirectPath, ReadersAgreeOnAlteredBytes) {
    BasicBlock block{Label{0}, edge_instructions(), Trap{}};
    block.instructions.resize(every_instruction().size() + 12);  // every opcode and some edges
    Bytes data;
    {
        BorshWriter w(data);
        borsh_write(w, block);
        ASSERT_TRUE(w.finish());
    }
    std::size_t failures = 0;
    for (std::size_t at = 0; at < data.size(); ++at) {
        for (const int value : {0x00, 0x02, 0x09, 0x80, 0xFF, data[at] + 1}) {
            Bytes altered = data;
            altered[at] = static_cast<std::uint8_t>(value);
            auto [direct, stepwise] = read_both_ways<BasicBlock>(altered);
            ASSERT_EQ(direct.has_value(), stepwise.has_value()) << "byte " << at << " = " << value;
            if (direct) {
                EXPECT_EQ(*direct, *stepwise) << "byte " << at << " = " << value;
            } else {
                ++failures;
                EXPECT_EQ(direct.error(), stepwise.error()) << "byte " << at << " = " << value;
            }
        }
    }
    EXPECT_GT(failures, 0u);
}

// A list count the bytes in hand cannot back is left to the field-by-field reader,
// which fails at the end of the input without reserving for the count. Every 4-byte
// window of a record with lists is set to FF FF FF FF, forging whichever count (or
// other field) it covers.
TEST(BorshDirectPath, ForgedListCountsFailAsBefore) {
    for (const std::size_t op : {24u, 25u, 26u, 29u}) {  // getelementptr, invoke, phi, insertvalue
        SCOPED_TRACE(op);
        const KeInstr instr = every_instruction()[op];
        Bytes data;
        BorshWriter w(data);
        borsh_write(w, instr);
        ASSERT_TRUE(w.finish());
        for (std::size_t at = 0; at + 4 <= data.size(); ++at) {
            Bytes forged = data;
            std::fill_n(forged.begin() + static_cast<std::ptrdiff_t>(at), 4, std::uint8_t{0xFF});
            auto [direct, stepwise] = read_both_ways<KeInstr>(forged);
            ASSERT_EQ(direct.has_value(), stepwise.has_value()) << at;
            if (direct) {
                EXPECT_EQ(*direct, *stepwise) << at;
            } else {
                EXPECT_EQ(direct.error(), stepwise.error()) << at;
            }
        }
    }
}

// Each enumeration (and flag) the direct reader takes, set one past its last value in
// an encoded instruction: the direct path gives way, and the read is refused with the
// field-by-field reader's text, from a span (direct path) as through a small buffer.
// (A direct reader that took the tag would read a value outside the enumeration.)
// The byte is found as the one that differs between the record with the first value
// and with the last (both read back as written).
TEST(BorshDirectPath, TagsPastTheLastValueAreRefused) {
    const Typeref t = tref(0x10);
    const Operand a = reg(1);
    const Operand b = imm_int(8, -1);
    struct Case {
        const char* what;
        std::function<KeInstr(std::uint8_t)> with;  // the instruction with that tag
        std::size_t last;                           // the last tag of the same encoded size
        std::size_t refused;                        // one past the last value
        std::string error;
    };
    const auto tag_error = [](std::size_t tag) { return fmt::format("Unexpected variant tag: {}", tag); };
    // clang-format off
    const std::vector<Case> cases = {
        {"overflow policy", [&](std::uint8_t k) { return KeInstr{IAdd{Name{2}, t, a, b, OverflowSignednessPolicy(k)}}; },
         enum_count<OverflowSignednessPolicy> - 1, enum_count<OverflowSignednessPolicy>,
         tag_error(enum_count<OverflowSignednessPolicy>)},
        {"signedness", [&](std::uint8_t k) { return KeInstr{IDiv{Name{5}, t, a, b, IntegerSignedness(k)}}; },
         enum_count<IntegerSignedness> - 1, enum_count<IntegerSignedness>, tag_error(enum_count<IntegerSignedness>)},
        {"integer comparison", [&](std::uint8_t k) { return KeInstr{ICmp{Name{7}, t, a, b, ICmpVariant(k)}}; },
         enum_count<ICmpVariant> - 1, enum_count<ICmpVariant>, tag_error(enum_count<ICmpVariant>)},
        {"shift", [&](std::uint8_t k) { return KeInstr{ISht{Name{8}, t, a, b, IShiftVariant(k)}}; },
         enum_count<IShiftVariant> - 1, enum_count<IShiftVariant>, tag_error(enum_count<IShiftVariant>)},
        {"float comparison", [&](std::uint8_t k) { return KeInstr{FCmp{Name{21}, t, a, b, FCmpVariant(k)}}; },
         enum_count<FCmpVariant> - 1, enum_count<FCmpVariant>, tag_error(enum_count<FCmpVariant>)},
        {"load ordering", [&](std::uint8_t k) { return KeInstr{MLoad{Name{23}, t, a, 16u, MemoryOrdering(k), true}}; },
         enum_count<MemoryOrdering> - 1, enum_count<MemoryOrdering>, tag_error(enum_count<MemoryOrdering>)},
        {"store ordering", [&](std::uint8_t k) { return KeInstr{MStore{a, b, std::nullopt, MemoryOrdering(k), false}}; },
         enum_count<MemoryOrdering> - 1, enum_count<MemoryOrdering>, tag_error(enum_count<MemoryOrdering>)},
        {"cast", [&](std::uint8_t k) { return KeInstr{Cast{Name{29}, t, a, CastVariant(k)}}; },
         enum_count<CastVariant> - 1, enum_count<CastVariant>, tag_error(enum_count<CastVariant>)},
        {"probability kind", [&](std::uint8_t k) {
             return KeInstr{MetaProb{Name{33}, t, MetaProbOperand{MetaProbVariant(k), a}}};
         },
         enum_count<MetaProbVariant> - 1, enum_count<MetaProbVariant>, tag_error(enum_count<MetaProbVariant>)},
        {"float kind", [&](std::uint8_t k) {
             return KeInstr{FAdd{Name{16}, t, Operand{AnyConst{FConst{FType(k), Decimal(BigInt(-150), 2)}}}, a}};
         },
         kFTypeCount - 1, kFTypeCount, tag_error(kFTypeCount)},
        {"function pointer kind", [&](std::uint8_t k) {
             return KeInstr{Invoke{Operand{AnyConst{FunctionPointer{FunctionPointerKind(k), uuid_of(0x70)}}}, {a},
                                   Name{26}, t, std::nullopt}};
         },
         1, 2, tag_error(2)},
        // The last named convention: the numbered one after it carries a number.
        {"calling convention", [&](std::uint8_t k) {
             return KeInstr{Invoke{a, {b}, Name{26}, t, CallingConvention::from_tag(k)}};
         },
         kNamedCallingConventionCount - 1, kNamedCallingConventionCount + 1,
         tag_error(kNamedCallingConventionCount + 1)},
        {"volatile flag", [&](std::uint8_t k) { return KeInstr{MLoad{Name{23}, t, a, 16u, std::nullopt, k == 1}}; },
         1, 2, "Invalid bool representation: 2"},
    };
    // clang-format on
    // The record is followed by bytes of no meaning: the direct reader takes a field
    // only with room for its largest form in hand, as it has inside a block.
    const auto encoded = [](const KeInstr& instr) {
        Bytes out;
        BorshWriter w(out);
        borsh_write(w, instr);
        EXPECT_TRUE(w.finish());
        out.resize(out.size() + 64, 0xEE);
        return out;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const KeInstr last = c.with(static_cast<std::uint8_t>(c.last));
        const Bytes first_bytes = encoded(c.with(0));
        const Bytes last_bytes = encoded(last);
        ASSERT_EQ(first_bytes.size(), last_bytes.size());
        std::vector<std::size_t> differ;
        for (std::size_t i = 0; i < first_bytes.size(); ++i) {
            if (first_bytes[i] != last_bytes[i]) differ.push_back(i);
        }
        ASSERT_EQ(differ.size(), 1u);
        ASSERT_EQ(last_bytes[differ[0]], c.last);
        {
            auto [direct, stepwise] = read_both_ways<KeInstr>(last_bytes);
            ASSERT_TRUE(direct.has_value()) << direct.error().to_string();
            ASSERT_TRUE(stepwise.has_value()) << stepwise.error().to_string();
            EXPECT_EQ(*direct, last);
            EXPECT_EQ(*stepwise, last);
        }
        Bytes past = last_bytes;
        past[differ[0]] = static_cast<std::uint8_t>(c.refused);
        auto [direct, stepwise] = read_both_ways<KeInstr>(past);
        EXPECT_EQ(direct ? "read" : direct.error().to_string(), c.error);
        EXPECT_EQ(stepwise ? "read" : stepwise.error().to_string(), c.error);
    }
}

TEST(BorshDirectPath, RoomAndBytesInHand) {
    Bytes out;
    BorshWriter vector_writer(out);
    EXPECT_TRUE(vector_writer.free_room().empty());  // vector mode has no room of its own

    Bytes sunk;
    BorshWriter w(
        [&](std::span<const std::uint8_t> c) -> BorshResult<void> {
            sunk.insert(sunk.end(), c.begin(), c.end());
            return {};
        },
        8);
    w.u16(0x0201);
    auto room = w.free_room();
    ASSERT_EQ(room.size(), 6u);
    room[0] = 3;
    room[1] = 4;
    room[2] = 0xEE;  // not committed: not part of the output
    w.commit(2);
    EXPECT_EQ(w.bytes_written(), 4u);
    w.u32(0x08070605);
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(sunk, bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    w.fail(BorshError::invalid_data());
    EXPECT_TRUE(w.free_room().empty());

    const Bytes data = bytes({9, 8, 7, 6});
    BorshReader r(data);
    ASSERT_EQ(r.u8().value(), 9);
    const auto hand = r.in_hand();
    ASSERT_EQ(hand.size(), 3u);
    EXPECT_EQ(hand[0], 8);
    r.consume(2);
    EXPECT_EQ(r.position(), 3u);
    EXPECT_EQ(r.u8().value(), 6);
}

}  // namespace
}  // namespace keinstr
