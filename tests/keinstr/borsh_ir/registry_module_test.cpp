#include <gtest/gtest.h>

#include "keinstr/storage/borsh_ir.hpp"
#include "keinstr/ir/record_fields.hpp"
#include "tests/keinstr/borsh_ir/samples.hpp"

namespace keinstr {
namespace {

using namespace keinstr::test;
using Bytes = std::vector<std::uint8_t>;

Bytes write_registry(const TypeRegistry& reg) {
    Bytes out;
    BorshWriter w(out);
    borsh_write(w, reg);
    EXPECT_TRUE(w.status().has_value());
    return out;
}

std::unique_ptr<TypeRegistry> read_registry(const Bytes& data) {
    BorshReader r(data);
    auto reg = read_type_registry(r);
    EXPECT_TRUE(reg.has_value()) << reg.error().to_string();
    if (!reg) return nullptr;
    EXPECT_EQ(r.position(), data.size());
    return std::move(*reg);
}

// A registry with primary types and aggregates naming them.
void fill(const TypeRegistry& reg) {
    const Typeref i8 = reg.search_or_insert(int_type(8));
    const Typeref i16 = reg.search_or_insert(int_type(16));
    const Typeref arr = reg.search_or_insert(array_type(i16, 2));
    reg.search_or_insert(struct_type({i8, arr, Typeref::type_variable(1)}, true));
    reg.search_or_insert(vector_type(VcSize::scalable(2), PrimaryBasicType{FType::Fp64}));
    reg.search_or_insert(ptr_type());
}

TEST(BorshRegistry, EmptyRegistryIsEightZeroBytes) {
    TypeRegistry empty(0, NodeId{1, 2, 3, 4, 5, 6});
    EXPECT_EQ(write_registry(empty), Bytes(8, 0));
    auto back = read_registry(Bytes(8, 0));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->len(), 0u);
}

TEST(BorshRegistry, RoundTripBehavesAsTheWrittenRegistry) {
    TypeRegistry reg(0x1234, NodeId{1, 2, 3, 4, 5, 6});
    fill(reg);
    const Bytes data = write_registry(reg);
    EXPECT_EQ(write_registry(reg), data);  // stable

    // Count, then entries in ascending UUID order.
    ASSERT_GE(data.size(), 8u);
    EXPECT_EQ(data[0], reg.len());

    auto back = read_registry(data);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->read().map(), reg.read().map());
    EXPECT_EQ(write_registry(*back), data);

    // Interning a stored type finds its stored UUID and adds nothing.
    for (const auto& [uuid, ty] : reg.read().map()) EXPECT_EQ(back->search_or_insert(ty), uuid);
    EXPECT_EQ(back->len(), reg.len());

    // A new type gets a version-6 UUID with a zero node id.
    const Typeref fresh = back->search_or_insert(int_type(77));
    EXPECT_EQ(fresh.uuid.version(), 6);
    for (int i = 10; i < 16; ++i) EXPECT_EQ(fresh.uuid.bytes[i], 0) << i;
    EXPECT_EQ(back->node_id(), NodeId{});
}

TEST(BorshRegistry, RepeatedUuidKeepsTheLaterType) {
    const Typeref key = tref(0x42);
    Bytes data;
    BorshWriter w(data);
    w.u64(2);
    borsh_write(w, key);
    borsh_write(w, int_type(8));
    borsh_write(w, key);
    borsh_write(w, int_type(9));
    auto back = read_registry(data);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->len(), 1u);
    ASSERT_TRUE(back->get(key).has_value());
    EXPECT_EQ(**back->get(key), int_type(9));
    // The replaced type is no longer known under the key: interning it registers it.
    EXPECT_EQ(back->search_or_insert(int_type(9)), key);
    EXPECT_NE(back->search_or_insert(int_type(8)), key);
    EXPECT_EQ(back->len(), 2u);
}

TEST(BorshRegistry, TruncationAtEveryOffset) {
    TypeRegistry reg(0, NodeId{});
    fill(reg);
    const Bytes data = write_registry(reg);
    for (std::size_t n = 0; n < data.size(); ++n) {
        BorshReader r(std::span<const std::uint8_t>(data.data(), n));
        auto back = read_type_registry(r);
        ASSERT_FALSE(back.has_value()) << n;
        EXPECT_EQ(back.error().to_string(), "Unexpected length of input") << n;
    }
}

TEST(BorshModule, DecodedFunctionsAreHeldByTheModuleAlone) {
    const Module m = sample_module();
    auto back = borsh_decode<Module>(*borsh_encode(m));
    ASSERT_TRUE(back.has_value());
    for (const auto& [uuid, fn] : back->functions) EXPECT_EQ(fn.use_count(), 1);

    const Typeref from = tref(0x10);
    const Typeref to = tref(0x77);
    const Function* before = back->functions.at(uuid_of(0x40)).get();
    back->remap_types(TypeMap{{from, to}});
    // Remapped in place: no copy was needed.
    EXPECT_EQ(back->functions.at(uuid_of(0x40)).get(), before);
    EXPECT_EQ(before->params[0].second, to);
}

// Decoding into an arena gives the module the heap gives; each function keeps the
// arena alive on its own (the sanitizer run checks the reads after the module is
// gone), and a copy of one holds nothing of the arena.
TEST(BorshModule, ArenaDecodedFunctionsKeepTheirArena) {
    const Module m = sample_module();
    const Bytes bytes = *borsh_encode(m);
    std::shared_ptr<Function> kept;
    Function copy;
    {
        auto arena = std::make_shared<Arena>(0);
        Module back;
        BorshReader r(bytes);
        ASSERT_TRUE(borsh_read(r, back, arena).has_value());
        EXPECT_EQ(back, m);
        kept = back.functions.at(uuid_of(0x40));
        const Arena* held = nullptr;
        for (const auto& [label, block] : kept->body) {
            if (!block.instructions.empty()) held = block.instructions.get_allocator().arena();
        }
        EXPECT_EQ(held, arena.get());
        copy = *kept;
        for (const auto& [label, block] : copy.body) EXPECT_EQ(block.instructions.get_allocator().arena(), nullptr);
    }
    EXPECT_EQ(*kept, *m.functions.at(uuid_of(0x40)));
    EXPECT_EQ(copy, *kept);
}

// The module's remapping (one hashed table for all functions) and the function's own
// rewrite the same fields as each instruction's remap_types, plus the undef operands.
TEST(BorshModule, RemapAgreesWithTheInstructionsOwnRemap) {
    const TypeMap map = {{tref(0x10), tref(0x71)}, {tref(0x20), tref(0x72)}, {tref(0x30), tref(0x73)}};
    Function expected = rich_function(0x40);
    for (auto& [label, block] : expected.body) {
        for (KeInstr& instr : block.instructions) {
            instr.remap_types(map);
            for (Operand& op : instr.operands_mut()) {
                if (Typeref* t = op.as_undef()) remap_typeref(*t, map);
            }
        }
    }
    expected.params[0].second = tref(0x71);
    expected.return_type = tref(0x72);
    ASSERT_NE(expected, rich_function(0x40));

    Module m;
    m.insert_function(rich_function(0x40));
    m.remap_types(map);
    EXPECT_EQ(*m.functions.at(uuid_of(0x40)), expected);

    Function f = rich_function(0x40);
    f.remap_types(map);
    EXPECT_EQ(f, expected);
}

// The passes that read fields straight from the records see what the accessors give.
TEST(BorshModule, RecordFieldReadersAgreeWithTheAccessors) {
    InstrList instrs = every_instruction();
    instrs.push_back(Invoke{reg(1), {}, std::nullopt, std::nullopt, std::nullopt});
    instrs.push_back(Invoke{reg(1), {}, Name{4}, std::nullopt, std::nullopt});
    for (const KeInstr& instr : instrs) {
        SCOPED_TRACE(instr.debug());
        std::visit(
            [&](const auto& rec) {
                EXPECT_EQ(record_fields::destination(rec), instr.destination());
                EXPECT_EQ(record_fields::destination_type(rec), instr.destination_type());
                std::vector<Typeref> types;
                record_fields::for_each_type_field(rec, [&](const Typeref& t) { types.push_back(t); });
                const TypeList expected = instr.referenced_types();
                EXPECT_EQ(types, std::vector<Typeref>(expected.begin(), expected.end()));
            },
            instr.variant());
    }
}

TEST(BorshModule, WriterFailures) {
    // A failing sink passes its own error through.
    BorshWriter w(
        [](std::span<const std::uint8_t>) -> BorshResult<void> {
            return std::unexpected(IoError(IoErrorKind::Other, "disk full"));
        },
        16);
    borsh_write(w, sample_module());
    auto s = w.finish();
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error(), IoError(IoErrorKind::Other, "disk full"));

    // A module entry without a function cannot be written.
    Module holey;
    holey.functions.emplace(uuid_of(1), nullptr);
    auto r = borsh_encode(holey);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), IoError(IoErrorKind::InvalidData));
    EXPECT_EQ(r.error().to_string(), "invalid data");
}

}  // namespace
}  // namespace keinstr
