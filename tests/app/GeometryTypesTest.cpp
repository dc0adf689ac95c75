#include "GeometryTypes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

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

} // namespace
