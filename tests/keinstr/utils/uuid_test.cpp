#include <gtest/gtest.h>

#include <set>

#include "keinstr/utils/uuid.hpp"

using namespace keinstr;

TEST(Uuid, TextRoundTripAndCase) {
    const auto u = Uuid::parse("20189B61-7279-46fa-9ba2-5f0360bf5b51");
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->to_string(), "20189b61-7279-46fa-9ba2-5f0360bf5b51");
    EXPECT_EQ(fmt::format("{}", *u), "20189b61-7279-46fa-9ba2-5f0360bf5b51");
    EXPECT_EQ(u->version(), 4);
    EXPECT_EQ(Uuid::nil().to_string(), "00000000-0000-0000-0000-000000000000");

    for (const char* bad : {"", "20189b61-7279-46fa-9ba2-5f0360bf5b5", "20189b61-7279-46fa-9ba2-5f0360bf5b511",
                            "20189b61x7279-46fa-9ba2-5f0360bf5b51", "20189b61-7279-46fa-9ba2-5f0360bf5bg1",
                            "20189b617279-46fa-9ba2-5f0360bf5b51-"})
        EXPECT_FALSE(Uuid::parse(bad).has_value()) << bad;
}

TEST(Uuid, OrderingIsByteLexicographic) {
    Uuid a, b;
    a.bytes[0] = 1;
    b.bytes[15] = 0xFF;
    EXPECT_LT(b, a);  // byte 0 is most significant
    b.bytes[0] = 1;
    EXPECT_LT(a, b);
}

TEST(Uuid, V4HasVersionAndVariantBits) {
    std::set<Uuid> seen;
    for (int i = 0; i < 64; ++i) {
        const Uuid u = Uuid::new_v4();
        EXPECT_EQ(u.version(), 4);
        EXPECT_EQ(u.bytes[8] & 0xC0, 0x80);
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 64u);
}

TEST(Uuid, V6LayoutFromParts) {
    const NodeId node{1, 2, 3, 4, 5, 6};
    // ticks 0x123456789ABCDEF: high 32 bits of the 60, then 16, then 12 behind the version.
    const Uuid u = Uuid::v6_from_parts(0x123456789ABCDEFULL, 0xFFFF, node);
    EXPECT_EQ(u.to_string(), "12345678-9abc-6def-bfff-010203040506");
    EXPECT_EQ(u.version(), 6);
}

TEST(Uuid, V6UsesClockCounterAndIsTimeOrdered) {
    const NodeId node{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    ClockContext clock(0x3FFF);
    const Uuid a = Uuid::new_v6(clock, node);
    const Uuid b = Uuid::new_v6(clock, node);
    EXPECT_EQ(a.version(), 6);
    EXPECT_EQ(a.bytes[8] & 0xC0, 0x80);
    // 14 bits of the counter form the clock sequence: 0x3FFF, then 0x4000 -> 0.
    EXPECT_EQ(((a.bytes[8] & 0x3F) << 8) | a.bytes[9], 0x3FFF);
    EXPECT_EQ(((b.bytes[8] & 0x3F) << 8) | b.bytes[9], 0);
    EXPECT_EQ(clock.peek(), 0x4001);
    EXPECT_EQ(a.to_string().substr(24), "aabbccddeeff");
    // Timestamps are in the leading bytes: the later one does not sort before.
    EXPECT_LE(std::vector<uint8_t>(a.bytes.begin(), a.bytes.begin() + 8),
              std::vector<uint8_t>(b.bytes.begin(), b.bytes.begin() + 8));
}

TEST(Uuid, TypeVariableForm) {
    EXPECT_EQ(type_variable_uuid(0).to_string(), "ffffffff-ffff-8fff-bfff-ffffffff0000");
    EXPECT_EQ(type_variable_uuid(0x1234).to_string(), "ffffffff-ffff-8fff-bfff-ffffffff3412");
    EXPECT_EQ(type_variable_number(type_variable_uuid(65535)), 65535);
    EXPECT_EQ(type_variable_uuid(7), type_variable_uuid(7));

    // Bytes 8, 13, 14, 15 are not tested; byte 6 only by its high nibble.
    Uuid loose = type_variable_uuid(3);
    loose.bytes[6] = 0x80;
    loose.bytes[8] = 0x00;
    loose.bytes[13] = 0x00;
    EXPECT_TRUE(is_type_variable_uuid(loose));
    EXPECT_EQ(type_variable_number(loose), 3);

    for (int i : {0, 5, 7, 9, 12}) {
        Uuid u = type_variable_uuid(1);
        u.bytes[i] = 0xFE;
        EXPECT_FALSE(is_type_variable_uuid(u)) << i;
    }
    Uuid v6ish = type_variable_uuid(1);
    v6ish.bytes[6] = 0x6F;
    EXPECT_FALSE(is_type_variable_uuid(v6ish));
    ClockContext clock(0);
    EXPECT_FALSE(is_type_variable_uuid(Uuid::new_v6(clock, NodeId{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})));
}
