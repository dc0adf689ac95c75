#include "LASPoint.h"
#include "LASPoint_C.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

template <typename P> class PointFamilies : public ::testing::Test {};
using AllRecords = ::testing::Types<LASPoint0, LASPoint1, LASPoint2, LASPoint3, LASPoint0_C, LASPoint1_C,
                                    LASPoint2_C, LASPoint3_C>;
TYPED_TEST_SUITE(PointFamilies, AllRecords);

TYPED_TEST(PointFamilies, BitFieldsMaskAndKeepNeighbours) {
    TypeParam p;
    EXPECT_EQ(p.GetX(), 0);
    EXPECT_EQ(p.GetClasification(), 0);

    p.SetNumberOfReturns(5);
    p.SetScanDirectionFlag(1);
    p.SetReturnNumber(9); // 9 masked to 3 bits
    EXPECT_EQ(p.GetReturnNumber(), 1);
    EXPECT_EQ(p.GetNumberOfReturns(), 5);
    EXPECT_EQ(p.GetScanDirectionFlag(), 1);
    EXPECT_EQ(p.GetEdgeOfFlightLine(), 0);

    p.SetReturnNumber(7);
    p.SetNumberOfReturns(7);
    p.SetScanDirectionFlag(1);
    p.SetEdgeOfFlightLine(0); // return byte 0x7F
    p.SetEdgeOfFlightLine(1);
    EXPECT_EQ(p.GetEdgeOfFlightLine(), 1);
    EXPECT_EQ(p.GetReturnNumber(), 7);
    EXPECT_EQ(p.GetNumberOfReturns(), 7);
    p.SetEdgeOfFlightLine(0);
    EXPECT_EQ(p.GetEdgeOfFlightLine(), 0);
    EXPECT_EQ(p.GetScanDirectionFlag(), 1);
    p.SetScanDirectionFlag(2); // masked to 1 bit: clears
    EXPECT_EQ(p.GetScanDirectionFlag(), 0);
    EXPECT_EQ(p.GetReturnNumber(), 7);

    p.SetClasification(0xA2);
    EXPECT_EQ(p.GetClasification(), 0xA2);
    EXPECT_TRUE(p.IsSynthetic());
    EXPECT_FALSE(p.IsKeyPoint());
    EXPECT_TRUE(p.IsWithheld());
    p.KeyPoint(true);
    p.Withheld(false);
    EXPECT_EQ(p.GetClasification(), 0x62);
    p.Synthetic(false);
    EXPECT_EQ(p.GetClasification(), 0x42);
}

TYPED_TEST(PointFamilies, OptionalFieldsExistOnlyInTheirFormats) {
    TypeParam p;
    const int format = p.GetPointType();
    p.SetGPSTime(1.5);
    p.SetRed(1);
    p.SetGreen(2);
    p.SetBlue(3);
    bool gps = format == 1 || format == 3, rgb = format == 2 || format == 3;
    EXPECT_EQ(p.GetGPSTime(), gps ? 1.5 : 0.0);
    EXPECT_EQ(p.GetRed(), rgb ? 1 : 0);
    EXPECT_EQ(p.GetGreen(), rgb ? 2 : 0);
    EXPECT_EQ(p.GetBlue(), rgb ? 3 : 0);
}

TEST(LASPoint, CoordinatesAreSignExtendedAndTruncatedTo32Bits) {
    LASPoint1 p;
    p.SetX(-5);
    EXPECT_EQ(p.GetX(), -5);
    p.SetY((int64_t(1) << 32) + 5);
    EXPECT_EQ(p.GetY(), 5);
    p.SetZ(INT32_MIN);
    EXPECT_EQ(p.GetZ(), INT32_MIN);
    p.SetZ(int64_t(INT32_MAX) + 1); // wraps like the stored 32-bit word
    EXPECT_EQ(p.GetZ(), INT32_MIN);
}

TEST(LASPoint_C, GPSTimeRawBitsAreTheDoubleBits) {
    LASPoint1_C p;
    p.SetGPSTime(1.5);
    EXPECT_EQ(uint64_t(p.GetGPSTimeInt64()), 0x3FF8000000000000ull);
    p.SetGPSTimeInt64(int64_t(0x4000000000000000ull));
    EXPECT_EQ(p.GetGPSTime(), 2.0);
    LASPoint0_C none;
    none.SetGPSTimeInt64(42);
    EXPECT_EQ(none.GetGPSTimeInt64(), 0);
}

// The record layout, checked byte by byte against hand-placed fields.
TEST(LASPoint, PackedLayoutMatchesTheFileFormat) {
    unsigned char rec[34];
    for (int i = 0; i < 34; ++i)
        rec[i] = uint8_t(i + 1);
    LASPoint3 p;
    p.copyFromBuffer(rec);
    EXPECT_EQ(p.GetX(), 0x04030201);
    EXPECT_EQ(p.GetY(), 0x08070605);
    EXPECT_EQ(p.GetZ(), 0x0C0B0A09);
    EXPECT_EQ(p.GetIntensity(), 0x0E0D);
    EXPECT_EQ(p.GetReturnNumber(), 15 & 7);
    EXPECT_EQ(p.GetClasification(), 16);
    EXPECT_EQ(p.GetScanAngleRank(), 17);
    EXPECT_EQ(p.GetUserData(), 18);
    EXPECT_EQ(p.GetPointSourceID(), 0x1413);
    double t;
    std::memcpy(&t, rec + 20, 8);
    EXPECT_EQ(p.GetGPSTime(), t);
    EXPECT_EQ(p.GetRed(), 0x1E1D);
    EXPECT_EQ(p.GetGreen(), 0x201F);
    EXPECT_EQ(p.GetBlue(), 0x2221);

    LASPoint2 q;
    q.copyFromBuffer(rec);
    EXPECT_EQ(q.GetRed(), 0x1615); // format 2 keeps its colour right after the core
    EXPECT_EQ(q.GetBlue(), 0x1A19);

    unsigned char back[34] = {};
    p.copyToBuffer(back);
    EXPECT_EQ(0, std::memcmp(rec, back, 34));

    LASPoint_C* c = newLASPoint_C(3);
    c->copyFromBuffer(rec);
    EXPECT_EQ(c->GetX(), 0x04030201);
    EXPECT_EQ(c->GetBlue(), 0x2221);
    delete c;
}

TEST(LASPoint, FileRoundTripAndEndOfFile) {
    TempDir dir;
    std::string path = dir.file("p.bin");
    unsigned char rec[28];
    for (int i = 0; i < 28; ++i)
        rec[i] = uint8_t(200 - i);
    writeBytes(path, std::vector<unsigned char>(rec, rec + 28));

    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_TRUE(f);
    LASPoint1 p;
    ASSERT_TRUE(p.Read(f));
    double t;
    std::memcpy(&t, rec + 20, 8);
    EXPECT_EQ(p.GetGPSTime(), t);
    EXPECT_FALSE(p.Read(f)); // end of file
    std::fclose(f);

    std::string out = dir.file("q.bin");
    f = std::fopen(out.c_str(), "wb");
    ASSERT_TRUE(p.Write(f));
    std::fclose(f);
    EXPECT_EQ(readBytes(out), std::vector<unsigned char>(rec, rec + 28));

    // A short record is a failed read.
    writeBytes(path, std::vector<unsigned char>(rec, rec + 27));
    f = std::fopen(path.c_str(), "rb");
    EXPECT_FALSE(p.Read(f));
    std::fclose(f);
}

TEST(LASPoint, ConversionKeepsCommonFieldsAndZeroesMissingOnes) {
    LASPoint3 src;
    src.SetX(-7);
    src.SetY(8);
    src.SetZ(9);
    src.SetIntensity(1234);
    src.SetReturnNumber(2);
    src.SetNumberOfReturns(3);
    src.SetScanDirectionFlag(1);
    src.SetEdgeOfFlightLine(1);
    src.SetClasification(0x85);
    src.SetScanAngleRank(-12);
    src.SetUserData(77);
    src.SetPointSourceID(4321);
    src.SetGPSTime(98765.4321);
    src.SetRed(10);
    src.SetGreen(20);
    src.SetBlue(30);

    LASPoint1 one(src);
    EXPECT_EQ(one.GetX(), -7);
    EXPECT_EQ(one.GetGPSTime(), 98765.4321);
    EXPECT_EQ(one.GetEdgeOfFlightLine(), 1);
    EXPECT_EQ(one.GetClasification(), 0x85);
    EXPECT_EQ(one.GetScanAngleRank(), -12);
    EXPECT_EQ(one.GetRed(), 0);

    LASPoint3 back(one); // colour did not survive format 1
    EXPECT_EQ(back.GetRed(), 0);
    EXPECT_EQ(back.GetGPSTime(), 98765.4321);
    EXPECT_EQ(back.GetPointSourceID(), 4321);

    LASPoint2 two(src);
    EXPECT_EQ(two.GetBlue(), 30);
    EXPECT_EQ(two.GetGPSTime(), 0.0);
    EXPECT_EQ(two.GetNumberOfReturns(), 3);
    EXPECT_EQ(two.GetReturnNumber(), 2);
}

TEST(LASPoint, FactoryAndSizes) {
    const int sizes[] = {20, 28, 26, 34};
    for (int f = 0; f < 4; ++f) {
        std::unique_ptr<LASPoint> p(newLASPoint(f));
        ASSERT_TRUE(p);
        EXPECT_EQ(p->GetPointType(), f);
        EXPECT_EQ(p->GetSize(), sizes[f]);
    }
    EXPECT_EQ(newLASPoint(4), nullptr);
    EXPECT_EQ(newLASPoint(-1), nullptr);
}

} // namespace
