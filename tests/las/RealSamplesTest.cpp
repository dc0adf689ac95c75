// Every real sample: counts and bounds as its MANIFEST states, byte-identical rewrite, and the same
// points through every reader.
#include "CLASFile.h"
#include "CLASReader.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::vector<SampleFile> allSamples() {
    auto v = manifestSamples("las");
    auto large = manifestSamples("las-large");
    v.insert(v.end(), large.begin(), large.end());
    return v;
}

TEST(RealSamples, ManifestIsFound) {
    auto v = manifestSamples("las");
    if (v.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR << "/las (set PONTARO_DATA_DIR)";
    EXPECT_EQ(v.size(), 8u);
}

TEST(RealSamples, ReadMatchesManifestAndRewritesIdentically) {
    auto samples = allSamples();
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR;
    TempDir dir;
    for (auto& s : samples) {
        SCOPED_TRACE(s.name);
        CLASFile las;
        CaptureStdout();
        ASSERT_TRUE(las.ReadFile(s.path.c_str()));
        std::string messages = GetCapturedStdout();
        const int formatSize = las_detail::formatSize(s.format);
        if (s.recordLength != formatSize) {
            EXPECT_EQ(messages, "ReadError: Wrong point" + std::to_string(s.format) + " data record length");
        }
        EXPECT_EQ(std::to_string(las.VersionMajor) + "." + std::to_string(las.VersionMinor), s.version);
        EXPECT_EQ(las.PointDataFormatID, s.format);
        EXPECT_EQ(las.PointDataRecordLength, s.recordLength);
        ASSERT_EQ(las.points.size(), s.points);
        EXPECT_EQ(las.NumberOfPointRecords, s.points);

        // Bounds of the points, to half a scale unit of the MANIFEST's (rounded) figures.
        double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
        const double scale[3] = {las.ScaleFactor_X, las.ScaleFactor_Y, las.ScaleFactor_Z};
        const double offset[3] = {las.OffsetX, las.OffsetY, las.OffsetZ};
        uint64_t byReturn[5] = {};
        for (auto& p : las.points) {
            const int64_t raw[3] = {p->GetX(), p->GetY(), p->GetZ()};
            for (int a = 0; a < 3; ++a) {
                double v = raw[a] * scale[a] + offset[a];
                lo[a] = std::min(lo[a], v);
                hi[a] = std::max(hi[a], v);
            }
            int r = p->GetReturnNumber();
            if (r >= 1 && r <= 5)
                ++byReturn[r - 1];
        }
        for (int a = 0; a < 3; ++a) {
            const double tol = std::max(scale[a], 0.001) / 2 + 1e-9;
            EXPECT_NEAR(lo[a], s.min[a], tol) << "axis " << a;
            EXPECT_NEAR(hi[a], s.max[a], tol) << "axis " << a;
        }
        for (int r = 0; r < 5; ++r)
            EXPECT_EQ(byReturn[r], las.NumberOfPointsByReturn[r]) << "return " << r + 1;

        std::string out = dir.file(s.name);
        CaptureStdout();
        las.WriteFile(out.c_str());
        GetCapturedStdout();
        EXPECT_TRUE(readBytes(out) == readBytes(s.path)) << "rewrite differs";
    }
}

TEST(RealSamples, EveryReaderSeesTheSamePoints) {
    auto samples = allSamples();
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR;
    for (auto& s : samples) {
        SCOPED_TRACE(s.name);
        CLASFile las;
        CaptureStdout();
        ASSERT_TRUE(las.OpenFile(s.path.c_str()));
        GetCapturedStdout();
        const uint64_t n = las.NumberOfPointRecords;
        ASSERT_EQ(n, s.points);
        const int size = las_detail::formatSize(s.format);
        uint32_t progress = 0;
        LASPoint** bulk = las.GetPoints(0, n, &progress);
        ASSERT_NE(bulk, nullptr);
        EXPECT_GE(progress, std::min<uint64_t>(n, 100));
        const uint64_t stride = s.recordLength + 6;
        std::vector<unsigned char> raw(n * stride);
        CLASReader::ReadPoints(s.path.c_str(), raw.data(), las.OffsetToPointData, s.recordLength, n, stride);
        // Records of the file, stepped by the header's record length (not the format's size).
        std::vector<unsigned char> whole(n * s.recordLength);
        CLASReader::ReadNumPoints(s.path.c_str(), whole.data(), las.OffsetToPointData, s.recordLength, n,
                                  s.recordLength);
        std::vector<unsigned char> a(size), b(size);
        for (uint64_t i = 0; i < n; ++i) {
            std::unique_ptr<LASPoint> one(las.GetPoint(i));
            ASSERT_TRUE(one);
            one->copyToBuffer(a.data());
            bulk[i]->copyToBuffer(b.data());
            ASSERT_EQ(a, b) << i;
            ASSERT_EQ(0, std::memcmp(a.data(), raw.data() + i * stride, size)) << i;
            ASSERT_EQ(0, std::memcmp(a.data(), whole.data() + i * s.recordLength, size)) << i;
        }
        CLASFile::FreePointArray(bulk);
    }
}

// The comparisons above must be able to fail: one changed byte is seen.
TEST(RealSamples, ComparisonDetectsOneChangedByte) {
    auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR;
    TempDir dir;
    const SampleFile& s = samples.front();
    CLASFile las;
    CaptureStdout();
    ASSERT_TRUE(las.ReadFile(s.path.c_str()));
    GetCapturedStdout();
    las.points.back()->SetUserData(las.points.back()->GetUserData() ^ 1);
    std::string out = dir.file("changed.las");
    las.WriteFile(out.c_str());
    auto a = readBytes(out), b = readBytes(s.path);
    ASSERT_EQ(a.size(), b.size());
    size_t diffs = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diffs += a[i] != b[i];
    EXPECT_EQ(diffs, 1u);
}

} // namespace
