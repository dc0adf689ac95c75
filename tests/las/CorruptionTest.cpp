// Hostile and damaged files: every truncation and a range of corrupted header fields must give a clean
// failure, never a crash, an overrun or an allocation the file cannot justify. Run under AddressSanitizer.
#include "CLASFile.h"
#include "LasBuilder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

LasBuilder sample() {
    LasBuilder b;
    b.format = 3;
    b.points = 120;
    b.vlrLengths = {30, 0, 7};
    b.gap = 5;
    b.extraPerPoint = 2;
    return b;
}

TEST(Corruption, EveryTruncationIsRejected) {
    TempDir dir;
    LasBuilder b = sample();
    auto bytes = b.bytes();
    std::string path = dir.file("cut.las");
    std::vector<size_t> cuts;
    for (size_t n = 0; n < b.offsetToPoints() + 3 * size_t(b.recordLength()); ++n)
        cuts.push_back(n);
    for (size_t n = b.offsetToPoints(); n < bytes.size(); n += 97)
        cuts.push_back(n);
    cuts.push_back(bytes.size() - 1);
    for (size_t n : cuts) {
        SCOPED_TRACE(n);
        writeBytes(path, bytes, n);
        auto las = std::make_unique<CLASFile>(); // fresh each time, so overruns meet the sanitizer
        CaptureStdout();
        bool loaded = las->ReadFile(path.c_str());
        std::string out = GetCapturedStdout();
        EXPECT_FALSE(loaded);
        EXPECT_FALSE(out.empty());
        if (n >= 227) {
            EXPECT_NE(out.find("ReadError: file is truncated"), std::string::npos) << out;
        }

        auto opened = std::make_unique<CLASFile>();
        CaptureStdout();
        bool headerRead = opened->OpenFile(path.c_str());
        std::unique_ptr<LASPoint> last(headerRead ? opened->GetPoint(b.points - 1) : nullptr);
        bool data = headerRead && opened->GetData(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        GetCapturedStdout();
        // The last record itself is readable only while its point fields are all there.
        const size_t lastEnd = b.offsetToPoints() + size_t(b.points - 1) * b.recordLength() + 34;
        EXPECT_EQ(last != nullptr, n >= lastEnd);
        EXPECT_FALSE(data);
        if (headerRead) {
            EXPECT_THROW(opened->GetPoints(0, b.points), CLasException);
        }
    }
}

TEST(Corruption, HostileHeaderFieldsAreRefusedBeforeAllocating) {
    TempDir dir;
    LasBuilder b = sample();
    const auto good = b.bytes();
    std::string path = dir.file("bad.las");
    struct Patch {
        const char* name;
        size_t offset;
        int width;
        uint32_t value;
        const char* message; // expected in the output
    } patches[] = {
        {"4G points", 107, 4, 0xFFFFFFFF, "truncated"},
        {"one point too many", 107, 4, 121, "truncated"},
        {"4G records", 100, 4, 0xFFFFFFFF, "variable length records do not fit"},
        {"record area past end", 100, 4, 1000, "variable length records do not fit"},
        {"offset zero", 96, 4, 0, "Offset to point data is smaller than header size"},
        {"offset past end", 96, 4, 0x7FFFFFFF, "truncated"},
        {"record length zero", 105, 2, 0, "shorter than"},
        {"record length short", 105, 2, 33, "shorter than"},
        {"format 9", 104, 1, 9, "Unknown point data format"},
        {"signature", 0, 1, 'X', "Wrong File Signature"},
    };
    for (auto& p : patches) {
        SCOPED_TRACE(p.name);
        auto bytes = good;
        for (int i = 0; i < p.width; ++i)
            bytes[p.offset + i] = uint8_t(p.value >> (8 * i));
        writeBytes(path, bytes);
        CLASFile las;
        CaptureStdout();
        EXPECT_FALSE(las.ReadFile(path.c_str()));
        std::string out = GetCapturedStdout();
        EXPECT_NE(out.find(p.message), std::string::npos) << out;
        EXPECT_TRUE(las.points.empty());
    }
}

TEST(Corruption, ShortHeaderSizeNeverParsesTheHeaderAsRecords) {
    TempDir dir;
    LasBuilder b = sample();
    auto bytes = b.bytes();
    bytes[94] = 0, bytes[95] = 0; // HeaderSize 0
    std::string path = dir.file("h0.las");
    writeBytes(path, bytes);
    CLASFile las;
    CaptureStdout();
    ASSERT_TRUE(las.ReadFile(path.c_str()));
    EXPECT_NE(GetCapturedStdout().find("Header size should be at least 227"), std::string::npos);
    ASSERT_EQ(las.records.size(), 3u);
    EXPECT_STREQ(las.records[0].UserID, "user0"); // records still start after the 227-byte block
    EXPECT_EQ(las.records[2].Data.size(), 7u);
    EXPECT_EQ(las.points.size(), b.points);
}

// Random damage to the header and record area: any outcome but a crash or an overrun is acceptable, and
// whatever loads must be consistent with the file it came from.
TEST(Corruption, RandomHeaderDamageNeverCrashes) {
    TempDir dir;
    LasBuilder b = sample();
    const auto good = b.bytes();
    std::string path = dir.file("rand.las");
    std::mt19937 rng(1234);
    for (int iter = 0; iter < 600; ++iter) {
        auto bytes = good;
        int flips = 1 + int(rng() % 4);
        for (int f = 0; f < flips; ++f)
            bytes[rng() % b.offsetToPoints()] = uint8_t(rng());
        writeBytes(path, bytes);
        auto las = std::make_unique<CLASFile>();
        CaptureStdout();
        bool ok = las->ReadFile(path.c_str());
        GetCapturedStdout();
        if (ok) {
            ASSERT_EQ(las->points.size(), las->NumberOfPointRecords);
            ASSERT_LE(uint64_t(las->OffsetToPointData) + las->PointDataBytes(), bytes.size());
        }
    }
}

} // namespace
