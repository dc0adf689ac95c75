#include "GeometryTypes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(GeometryTypes, SplatBytesAreIntegersThenNormal) {
    const Splat s{-7, 123456789, -2147483647 - 1, 0.25f, -0.5f, 1.0f};
    unsigned char bytes[sizeof(Splat)];
    std::memcpy(bytes, &s, sizeof s);
    std::int32_t words[3];
    float normal[3];
    std::memcpy(words, bytes, 12);
    std::memcpy(normal, bytes + 12, 12);
    EXPECT_EQ(words[0], -7);
    EXPECT_EQ(words[1], 123456789);
    EXPECT_EQ(words[2], -2147483647 - 1);
    EXPECT_EQ(normal[0], 0.25f);
    EXPECT_EQ(normal[1], -0.5f);
    EXPECT_EQ(normal[2], 1.0f);
}

TEST(GeometryTypes, FloatCoordinatesShareTheIntegerWords) {
    const Splat s = makeFloatSplat(1.5f, -3.25f, 1e30f, 0.0f, 0.0f, 1.0f);
    EXPECT_EQ(s.fx(), 1.5f);
    EXPECT_EQ(s.fy(), -3.25f);
    EXPECT_EQ(s.fz(), 1e30f);
    EXPECT_EQ(s.nz, 1.0f);
    float fromWord;
    std::memcpy(&fromWord, &s.x, sizeof fromWord);
    EXPECT_EQ(fromWord, 1.5f);
    EXPECT_EQ(s.x, 0x3FC00000); // IEEE 754 single 1.5
}

TEST(GeometryTypes, ColorIsThreeShorts) {
    const Color c{1, 65535, 300};
    std::uint16_t words[3];
    std::memcpy(words, &c, sizeof words);
    EXPECT_EQ(words[0], 1);
    EXPECT_EQ(words[1], 65535);
    EXPECT_EQ(words[2], 300);
}

TEST(GeometryTypes, BBoxFieldsPairMinimumAndMaximum) {
    const BBox3D b{1, 2, 3, 4, 5, 6};
    double words[6];
    std::memcpy(words, &b, sizeof words);
    EXPECT_EQ(words[0], b.minX);
    EXPECT_EQ(words[1], b.maxX);
    EXPECT_EQ(words[2], b.minY);
    EXPECT_EQ(words[3], b.maxY);
    EXPECT_EQ(words[4], b.minZ);
    EXPECT_EQ(words[5], b.maxZ);
    EXPECT_EQ(b.maxX, 2);
    EXPECT_EQ(b.minZ, 5);
}

} // namespace
