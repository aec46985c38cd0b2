#include "net/variant.h"

#include <gtest/gtest.h>

TEST(VariantBytes, FixedKindsUseTheirLittleEndianLayout) {
    EXPECT_EQ(VariantToBytes(std::int32_t(1)), (ByteArray{1, 0, 0, 0}));
    EXPECT_EQ(VariantToBytes(true), (ByteArray{0xFF, 0xFF}));
    EXPECT_EQ(VariantToBytes(false), (ByteArray{0, 0}));
    EXPECT_EQ(VariantToBytes(std::string("abc")), (ByteArray{0x61, 0x62, 0x63}));
    EXPECT_EQ(VariantToBytes(std::int16_t(-2)), (ByteArray{0xFE, 0xFF}));
    EXPECT_EQ(VariantToBytes(std::uint8_t(7)), (ByteArray{7}));
    EXPECT_EQ(VariantToBytes(Currency{10000}).size(), 8u);
    EXPECT_EQ(VariantToBytes(Date{1.5}).size(), 8u);
    EXPECT_EQ(VariantToBytes(1.0f).size(), 4u);
    EXPECT_EQ(VariantToBytes(ByteArray{1, 2, 3}), (ByteArray{1, 2, 3}));
    EXPECT_TRUE(VariantToBytes(Variant()).empty());
}

TEST(VariantBytes, TypeNumbers) {
    EXPECT_EQ(VarType(Variant()), 0);
    EXPECT_EQ(VarType(std::int16_t(1)), 2);
    EXPECT_EQ(VarType(std::int32_t(1)), 3);
    EXPECT_EQ(VarType(1.0f), 4);
    EXPECT_EQ(VarType(1.0), 5);
    EXPECT_EQ(VarType(Currency{}), 6);
    EXPECT_EQ(VarType(Date{}), 7);
    EXPECT_EQ(VarType(std::string()), 8);
    EXPECT_EQ(VarType(true), 11);
    EXPECT_EQ(VarType(std::uint8_t(1)), 17);
    EXPECT_EQ(VarType(ByteArray()), 8209);
}

TEST(VariantBytes, RoundTripsEveryKind) {
    const Variant values[] = {std::int16_t(-12345),
                              std::int32_t(-7),
                              2.5f,
                              -1e300,
                              Currency{-123456789},
                              Date{45000.25},
                              std::string("x\0y", 3),
                              true,
                              std::uint8_t(200),
                              ByteArray{0, 255, 1}};
    for (const Variant& v : values) {
        ByteArray bytes = VariantToBytes(v);
        Variant back;
        ASSERT_TRUE(VariantFromBytes(VarType(v), bytes.data(), bytes.size(), back));
        EXPECT_EQ(back, v) << VarType(v);
    }
}

TEST(VariantBytes, ShortInputNeverReadsPastItsEnd) {
    // One byte for a 4-byte or 8-byte kind: the missing bytes are zero.
    const std::uint8_t one[] = {0x05};
    Variant v;
    ASSERT_TRUE(VariantFromBytes(vartype::Long, one, 1, v));
    EXPECT_EQ(std::get<std::int32_t>(v), 5);
    ASSERT_TRUE(VariantFromBytes(vartype::Currency, one, 1, v));
    EXPECT_EQ(std::get<Currency>(v).scaled, 5);
    ASSERT_TRUE(VariantFromBytes(vartype::Double, nullptr, 0, v));
    EXPECT_EQ(std::get<double>(v), 0.0);
    ASSERT_TRUE(VariantFromBytes(vartype::Boolean, one, 1, v));
    EXPECT_TRUE(std::get<bool>(v));
}

TEST(VariantBytes, UnknownKindLeavesTheValue) {
    const std::uint8_t data[] = {1, 2};
    Variant v = std::int32_t(9);
    EXPECT_FALSE(VariantFromBytes(12, data, 2, v));
    EXPECT_EQ(std::get<std::int32_t>(v), 9);
}
