#include <gtest/gtest.h>

#include <thread>

#include "keinstr/types/registry.hpp"
#include "keinstr/utils/log.hpp"

using namespace keinstr;

namespace {

const NodeId kNode{1, 2, 3, 4, 5, 6};

// Handle with a chosen first byte, to control UUID order in stored registries.
Typeref handle(std::uint8_t hi, std::uint8_t lo = 0) {
    Uuid u;
    u.bytes[0] = hi;
    u.bytes[1] = lo;
    u.bytes[6] = 0x60;
    return Typeref{u};
}

std::uint64_t constant_hash(const AnyType&) { return 0x42; }

// Captures the facade's records while alive.
struct LogCapture {
    std::vector<std::pair<LogLevel, std::string>> records;
    explicit LogCapture(LogLevel level) {
        set_log_sink(
            [this](std::string_view, LogLevel l, std::string_view t) { records.emplace_back(l, std::string(t)); });
        set_log_level(level);
    }
    ~LogCapture() {
        set_log_level(std::nullopt);
        set_log_sink(nullptr);
    }
};

}  // namespace

TEST(TypeRegistry, InterningIdentity) {
    TypeRegistry reg(0, kNode);
    const Typeref i32 = reg.search_or_insert(int_type(32));
    EXPECT_EQ(reg.search_or_insert(int_type(32)), i32);
    EXPECT_EQ(reg.len(), 1u);
    EXPECT_EQ(i32.uuid.version(), 6);
    EXPECT_EQ(i32.to_string().substr(24), "010203040506");
    EXPECT_FALSE(i32.is_type_variable());

    // Types that differ only in count, packed, or fixed versus scalable are distinct.
    const std::vector<AnyType> distinct = {array_type(i32, 2),
                                           array_type(i32, 3),
                                           struct_type({i32}),
                                           struct_type({i32}, true),
                                           vector_type(VcSize::fixed(4), IType{8}),
                                           vector_type(VcSize::scalable(4), IType{8})};
    std::set<Typeref> handles;
    for (const auto& t : distinct) handles.insert(reg.search_or_insert(t));
    EXPECT_EQ(handles.size(), distinct.size());
    for (const auto& t : distinct) EXPECT_TRUE(handles.contains(reg.search_or_insert(t)));
    EXPECT_EQ(reg.len(), 1 + distinct.size());

    // Type variables are computed, never stored, and identical in every registry.
    TypeRegistry other(77, NodeId{});
    EXPECT_EQ(reg.search_or_insert(wildcard_type(3)), Typeref::type_variable(3));
    EXPECT_EQ(other.search_or_insert(wildcard_type(3)), Typeref::type_variable(3));
    EXPECT_EQ(reg.len(), 1 + distinct.size());
    EXPECT_EQ(other.len(), 0u);
}

TEST(TypeRegistry, GetAndTexts) {
    TypeRegistry reg(0, kNode);
    const Typeref i8 = reg.search_or_insert(int_type(8));
    const Typeref i16 = reg.search_or_insert(int_type(16));
    const Typeref i32 = reg.search_or_insert(int_type(32));
    const Typeref ptr = reg.search_or_insert(ptr_type());
    const Typeref arr2 = reg.search_or_insert(array_type(i16, 2));
    const Typeref missing = handle(0x01);

    struct Case {
        Typeref t;
        std::string text;
    };
    const Case cases[] = {
        {reg.search_or_insert(array_type(i8, 4)), "[ 4 x i8 ]"},
        {reg.search_or_insert(array_type(i8, 0)), "[ 0 x i8 ]"},
        {reg.search_or_insert(struct_type({i32, ptr})), "{i32, ptr}"},
        {reg.search_or_insert(struct_type({i8, arr2}, true)), "packed {i8, [ 2 x i16 ]}"},
        {reg.search_or_insert(struct_type({})), "{}"},
        {reg.search_or_insert(struct_type({}, true)), "packed {}"},
        {reg.search_or_insert(array_type(reg.search_or_insert(struct_type({i8, i8})), 3)), "[ 3 x {i8, i8} ]"},
        {reg.search_or_insert(struct_type({Typeref::type_variable(0), Typeref::type_variable(30)})), "{A, _30}"},
        {reg.search_or_insert(array_type(missing, 1)), "[ 1 x <unknown type " + missing.to_string() + "> ]"},
        {missing, "<unknown type " + missing.to_string() + ">"},
        {Typeref::type_variable(25), "Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reg.fmt(c.t).to_string(), c.text);
        EXPECT_EQ(fmt::format("{}", reg.fmt(c.t)), c.text);
    }

    {
        auto h = reg.get(i32);
        ASSERT_TRUE(h.has_value());
        EXPECT_EQ(**h, int_type(32));
    }
    EXPECT_FALSE(reg.get(missing).has_value());
    EXPECT_FALSE(reg.get(Typeref::type_variable(1)).has_value());
    EXPECT_EQ(reg.type_text(struct_type({i8, missing})), "{i8, <unknown type " + missing.to_string() + ">}");
}

TEST(TypeRegistry, InterningWhileHoldingReadHandleOnSameThread) {
    TypeRegistry reg(0, kNode);
    const Typeref i32 = reg.search_or_insert(int_type(32));
    auto h = reg.get(i32);
    auto guard = reg.read();
    ASSERT_TRUE(h.has_value());
    // Finding and inserting both complete; the handle stays valid.
    EXPECT_EQ(reg.search_or_insert(int_type(32)), i32);
    const Typeref i64 = reg.search_or_insert(int_type(64));
    EXPECT_EQ(**h, int_type(32));
    EXPECT_EQ(guard.text(i64), "i64");
    EXPECT_EQ(guard.size(), 2u);
}

TEST(TypeRegistry, HashCollisionsKeepBothTypesAndLog) {
    TypeRegistry reg(0, kNode, &constant_hash);
    LogCapture log(LogLevel::Trace);
    const Typeref a = reg.search_or_insert(int_type(1));
    const Typeref b = reg.search_or_insert(float_type(FType::Fp32));
    const Typeref c = reg.search_or_insert(array_type(a, 2));
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_EQ(reg.len(), 3u);
    EXPECT_EQ(reg.search_or_insert(int_type(1)), a);
    EXPECT_EQ(reg.search_or_insert(float_type(FType::Fp32)), b);
    EXPECT_EQ(reg.search_or_insert(array_type(a, 2)), c);
    EXPECT_EQ(reg.len(), 3u);

    const std::string ua = a.to_string(), ub = b.to_string(), uc = c.to_string();
    const std::vector<std::pair<LogLevel, std::string>> expected = {
        {LogLevel::Debug, "New type encountered i1. Registered with UUID " + ua + "."},
        {LogLevel::Info,
         "Detected an hash collision on hash 0x0000000000000042. The following types collided:\n - " + ua + " -> i1"},
        {LogLevel::Debug, "Inverse lookup updated for hash 0x0000000000000042: [" + ua + "] (type fp32)"},
        {LogLevel::Info, "Detected an hash collision on hash 0x0000000000000042. The following types collided:\n - " +
                             ua + " -> i1\n - " + ub + " -> fp32"},
        {LogLevel::Debug,
         "Inverse lookup updated for hash 0x0000000000000042: [" + ua + ", " + ub + "] (type [ 2 x i1 ])"},
    };
    EXPECT_EQ(log.records, expected);
}

TEST(TypeRegistry, MergeIntoEmptyAndTwice) {
    TypeRegistry src(0, NodeId{9, 9, 9, 9, 9, 9});
    const Typeref i8 = src.search_or_insert(int_type(8));
    const Typeref s = src.search_or_insert(struct_type({i8, Typeref::type_variable(2)}));
    const Typeref arr = src.search_or_insert(array_type(s, 4));

    TypeRegistry dst(0, kNode);
    const Typeref pre = dst.search_or_insert(int_type(8));  // already present: keeps its handle
    const auto first = dst.merge_with(src);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), 3u);
    EXPECT_EQ(first->at(i8), pre);
    EXPECT_NE(first->at(arr), arr);
    EXPECT_EQ(dst.len(), 3u);
    EXPECT_EQ(dst.fmt(first->at(arr)).to_string(), "[ 4 x {i8, C} ]");

    const auto second = dst.merge_with(src);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, *first);
    EXPECT_EQ(dst.len(), 3u);
}

TEST(TypeRegistry, MergeAggregatesBeforeTheirComponents) {
    // Stored order puts every aggregate before the types it names.
    TypeRegistry src(0, NodeId{});
    const Typeref leaf = handle(0x90);
    src.insert_stored(leaf, int_type(16));
    src.insert_stored(handle(0x80), array_type(leaf, 2));
    src.insert_stored(handle(0x70), struct_type({handle(0x80), leaf}));
    src.insert_stored(handle(0x60), array_type(handle(0x70), 1));
    src.insert_stored(handle(0x50), struct_type({handle(0x60), handle(0x60)}, true));

    TypeRegistry dst(0, kNode);
    const auto map = dst.merge_with(src);
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(map->size(), 5u);
    EXPECT_EQ(dst.len(), 5u);
    EXPECT_EQ(dst.fmt(map->at(handle(0x50))).to_string(),
              "packed {[ 1 x {[ 2 x i16 ], i16} ], [ 1 x {[ 2 x i16 ], i16} ]}");
    // Every rewritten aggregate names handles of the receiving registry.
    const auto guard = dst.read();
    for (const auto& [key, ty] : guard.map())
        for (const Typeref& c : ty.components()) EXPECT_TRUE(guard.map().contains(c));
}

TEST(TypeRegistry, MergeOfDamagedRegistryTerminatesWithUnresolved) {
    TypeRegistry src(0, NodeId{});
    src.insert_stored(handle(0x10), int_type(32));
    src.insert_stored(handle(0x20), struct_type({handle(0x10), handle(0x21)}));  // names a missing handle
    src.insert_stored(handle(0x30), array_type(handle(0x20), 2));                // depends on the above
    src.insert_stored(handle(0x40), struct_type({handle(0x40)}));                // contains itself
    src.insert_stored(handle(0x50), array_type(handle(0x51), 1));                // a two-type cycle
    src.insert_stored(handle(0x51), array_type(handle(0x50), 1));
    src.insert_stored(handle(0x60), array_type(handle(0x10), 3));

    TypeRegistry dst(0, kNode);
    const auto result = dst.merge_with(src);
    ASSERT_FALSE(result.has_value());
    const std::vector<Typeref> unresolved = {handle(0x20), handle(0x30), handle(0x40), handle(0x50), handle(0x51)};
    EXPECT_EQ(result.error().types, unresolved);
    EXPECT_EQ(dst.len(), 2u);  // i32 and [ 3 x i32 ] were interned

    // Printing the damaged types terminates; the cycle shows as an unknown type.
    EXPECT_EQ(src.fmt(handle(0x40)).to_string(), "{<unknown type " + handle(0x40).to_string() + ">}");
    EXPECT_EQ(src.fmt(handle(0x50)).to_string(), "[ 1 x [ 1 x <unknown type " + handle(0x50).to_string() + "> ] ]");
}

TEST(TypeRegistry, SelfMergeIsIdentity) {
    TypeRegistry reg(0, kNode);
    const Typeref a = reg.search_or_insert(int_type(8));
    const Typeref b = reg.search_or_insert(array_type(a, 2));
    const auto map = reg.merge_with(reg);
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(*map, (TypeMap{{a, a}, {b, b}}));
    EXPECT_EQ(reg.len(), 2u);
}

TEST(TypeRegistry, DeepNestingPrintsAndMergesWithoutRecursion) {
    constexpr int kDepth = 100000;
    TypeRegistry src(0, NodeId{});
    // Stored in descending dependency order: the innermost type has the largest handle.
    auto key = [](int i) {
        Uuid u;
        const auto v = static_cast<std::uint32_t>(kDepth - i);
        u.bytes[0] = static_cast<std::uint8_t>(v >> 16);
        u.bytes[1] = static_cast<std::uint8_t>(v >> 8);
        u.bytes[2] = static_cast<std::uint8_t>(v);
        return Typeref{u};
    };
    src.insert_stored(key(0), int_type(8));
    for (int i = 1; i <= kDepth; ++i) src.insert_stored(key(i), array_type(key(i - 1), 1));

    const std::string text = src.fmt(key(kDepth)).to_string();
    EXPECT_EQ(text.size(), static_cast<std::size_t>(kDepth) * 8 + 2);
    EXPECT_EQ(text.substr(0, 12), "[ 1 x [ 1 x ");
    EXPECT_EQ(text.substr(static_cast<std::size_t>(kDepth) * 6, 6), "i8 ] ]");

    TypeRegistry dst(0, kNode);
    const auto map = dst.merge_with(src);
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(map->size(), static_cast<std::size_t>(kDepth) + 1);
    EXPECT_EQ(dst.fmt(map->at(key(kDepth))).to_string(), text);
}

TEST(TypeRegistry, SharedComponentsExplosionIsCapped) {
    TypeRegistry reg(0, kNode);
    Typeref t = reg.search_or_insert(int_type(8));
    for (int i = 0; i < 64; ++i) t = reg.search_or_insert(struct_type({t, t}));
    const std::string text = reg.fmt(t).to_string();
    EXPECT_EQ(text.size(), kMaxTypeTextBytes + 3);
    EXPECT_EQ(text.substr(text.size() - 3), "...");
}

TEST(TypeRegistry, ConcurrentInterningAgrees) {
    TypeRegistry reg(0, kNode);
    constexpr int kThreads = 8;
    constexpr int kTypes = 200;
    std::vector<std::vector<Typeref>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kTypes; ++i) {
                const Typeref e = reg.search_or_insert(int_type(static_cast<std::uint32_t>(i + 1)));
                seen[t].push_back(reg.search_or_insert(array_type(e, static_cast<std::uint16_t>(t % 2))));
                (void)reg.fmt(seen[t].back()).to_string();
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(reg.len(), static_cast<std::size_t>(kTypes) * 3);
    for (int t = 2; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[t % 2]);
}
