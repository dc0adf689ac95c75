// The classification's inputs (LAS files, local tree directories) and outputs (the LAS copy with
// surface numbers, the tree's surf files), read back with the project's LAS reader.
#include "CLASFile.h"
#include "ClassificationFixtures.h"
#include "ClassificationInput.h"
#include "SurfaceOutput.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

Scene tiltedPlane(int side) {
    Scene s;
    for (int x = 0; x < side; ++x)
        for (int y = 0; y < side; ++y)
            s.add(10 + x * 0.5, 20 + y * 0.5, 5 + 0.25 * x, 0, {-0.4472f, 0, 0.8944f});
    return s;
}

std::vector<int32_t> someClasses(size_t n) {
    std::vector<int32_t> c(n);
    for (size_t i = 0; i < n; ++i)
        c[i] = i % 4 == 0 ? 0 : int32_t(i % 3 == 0 ? 65536 + i : i);
    return c;
}

// Expects `out` to hold the records of `in` in order, equal byte for byte but for the Point Source ID,
// which carries the surface number.
void expectSameRecordsWithSurfaces(const std::vector<unsigned char>& in, size_t inOffset,
                                   const std::vector<unsigned char>& out, size_t outOffset, size_t records,
                                   size_t length, const std::vector<int32_t>& classes,
                                   size_t firstClass = 0) {
    ASSERT_GE(in.size(), inOffset + records * length);
    ASSERT_GE(out.size(), outOffset + records * length);
    for (size_t r = 0; r < records; ++r)
        for (size_t b = 0; b < length; ++b) {
            const unsigned char got = out[outOffset + r * length + b];
            if (b == 18 || b == 19) {
                const uint16_t id = pointSourceIdForSurface(classes[firstClass + r]);
                ASSERT_EQ(got, b == 18 ? (id & 0xFF) : (id >> 8)) << "record " << r;
            } else {
                ASSERT_EQ(got, in[inOffset + r * length + b]) << "record " << r << " byte " << b;
            }
        }
}

TEST(ClassificationFiles, PointSourceIdsWrapAboveSixteenBits) {
    EXPECT_EQ(pointSourceIdForSurface(0), 0);
    EXPECT_EQ(pointSourceIdForSurface(-3), 0);
    EXPECT_EQ(pointSourceIdForSurface(1), 1);
    EXPECT_EQ(pointSourceIdForSurface(65535), 65535);
    EXPECT_EQ(pointSourceIdForSurface(65536), 1) << "never 0, which means unclassified";
    EXPECT_EQ(pointSourceIdForSurface(131070), 65535);
    EXPECT_EQ(pointSourceIdForSurface(131071), 1);
}

TEST(ClassificationFiles, LasInputAndItsClassifiedCopy) {
    TempDir dir;
    const Scene s = tiltedPlane(9);
    const std::string in = dir.file("in.las"), out = dir.file("out.las");
    writeLas(in, s, 1, /*recordExtra=*/8, /*gap=*/5);
    const ClassificationInput ci = readClassificationInput(in, 1);
    EXPECT_FALSE(ci.isTree);
    ASSERT_EQ(ci.positions.size(), s.positions.size());
    for (size_t i = 0; i < s.positions.size(); ++i) {
        EXPECT_NEAR(ci.positions[i].x, s.positions[i].x - 10, 1e-9);
        EXPECT_NEAR(ci.positions[i].y, s.positions[i].y - 20, 1e-9);
        EXPECT_NEAR(ci.positions[i].z, s.positions[i].z - 5, 1e-9);
        EXPECT_NEAR(std::fabs(ci.normals[i].x), 0.4472f, 1e-3) << "fitted to the tilted plane";
        EXPECT_NEAR(ci.normals[i].z, 0.8944f, 1e-3);
    }
    const auto classes = someClasses(s.positions.size());
    writeClassifiedLAS(ci, classes, out);
    const auto a = readBytes(in), b = readBytes(out);
    ASSERT_EQ(a.size(), b.size());
    const size_t offset = 227 + 5, length = 28 + 8;
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + offset, b.begin()))
        << "header and the bytes before the points";
    expectSameRecordsWithSurfaces(a, offset, b, offset, s.positions.size(), length, classes);
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(out.c_str()));
    ASSERT_EQ(las.points.size(), s.positions.size());
    EXPECT_EQ(las.points[5]->GetPointSourceID(), pointSourceIdForSurface(classes[5]));
    EXPECT_THROW(writeClassifiedLAS(ci, std::vector<int32_t>(3), out), std::invalid_argument);
}

TEST(ClassificationFiles, UnreadableLasFilesAreRefused) {
    TempDir dir;
    const std::string in = dir.file("in.las");
    writeLas(in, tiltedPlane(4), 0);
    auto bytes = readBytes(in);
    writeBytes(in, bytes, bytes.size() - 3);
    try {
        readLASInput(in, 1);
        FAIL() << "a truncated file was read";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("truncated"), std::string::npos) << e.what();
    }
    writeBytes(in, std::vector<unsigned char>(300, 'x'));
    EXPECT_THROW(readLASInput(in, 1), std::runtime_error);
    EXPECT_THROW(readLASInput(dir.file("missing.las"), 1), std::runtime_error);
}

class TreeDirectory : public ::testing::Test {
protected:
    TempDir dir;
    Scene s = tiltedPlane(8); // 64 points
    // Written in an order other than the suffixes', beside files that are no node's points.
    void SetUp() override {
        s.normals[3] = {0, 0, 0};
        writeTree(dir.path().string(), s, {{"-3", 40, 64}, {"", 0, 10}, {"-1-2", 25, 40}, {"-1", 10, 25}});
        writeBytes(dir.file("points-1temp"), {1, 2, 3});
        writeBytes(dir.file("points-5"), {1, 2, 3});
    }
};

TEST_F(TreeDirectory, PointsInSuffixOrderWithNormalisedNormals) {
    const ClassificationInput in = readClassificationInput(dir.path().string());
    EXPECT_TRUE(in.isTree);
    ASSERT_EQ(in.nodes.size(), 4u);
    EXPECT_EQ(in.nodes[0].suffix, "");
    EXPECT_EQ(in.nodes[1].suffix, "-1");
    EXPECT_EQ(in.nodes[2].suffix, "-1-2");
    EXPECT_EQ(in.nodes[3].suffix, "-3");
    EXPECT_EQ(in.nodes[2].numPoints, 15u);
    ASSERT_EQ(in.positions.size(), 64u);
    for (size_t i = 0; i < 64; ++i) {
        EXPECT_NEAR(in.positions[i].x, s.positions[i].x - 10, 1e-9) << i;
        EXPECT_NEAR(in.positions[i].z, s.positions[i].z - 5, 1e-9) << i;
    }
    QueryHandler q(in.positions, in.normals);
    EXPECT_FALSE(q.point(3).hasNormal()) << "a stored (0, 0, 0) is no normal";
    EXPECT_NEAR(q.point(4).normal.z, 0.8944f, 1e-4)
        << "stored normals are scaled; the handler normalises them";
}

TEST_F(TreeDirectory, SurfaceFilesAndTheLasCopy) {
    const ClassificationInput in = readTreeInput(dir.path().string());
    const auto classes = someClasses(64);
    writeTreeSurfaceFiles(in, classes);
    const auto surf = readBytes(dir.file("surf-1-2"));
    ASSERT_EQ(surf.size(), 4u * 15);
    for (size_t i = 0; i < 15; ++i) {
        uint32_t v;
        std::memcpy(&v, &surf[4 * i], 4);
        EXPECT_EQ(v, uint32_t(classes[25 + i])) << "the true number, not the 16-bit one";
    }
    EXPECT_EQ(readBytes(dir.file("surf")).size(), 40u);

    const std::string out = dir.file("copy.las");
    writeClassifiedLAS(in, classes, out);
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(out.c_str()));
    EXPECT_EQ(las.NumberOfPointRecords, 64u);
    ASSERT_EQ(las.records.size(), 1u) << "the tree-bounds record stays in the tree";
    EXPECT_STREQ(las.records[0].UserID, "other");
    const auto b = readBytes(out);
    // The tree's records, node by node in suffix order, against the scene's.
    std::vector<unsigned char> expected;
    for (size_t i = 0; i < 64; ++i) {
        auto r = record(s.positions[i], uint32_t(i), 28);
        expected.insert(expected.end(), r.begin(), r.end());
    }
    expectSameRecordsWithSurfaces(expected, 0, b, las.OffsetToPointData, 64, 28, classes);
    EXPECT_EQ(b.size(), las.OffsetToPointData + 64u * 28);
}

TEST_F(TreeDirectory, IncompleteTreesAreRefused) {
    auto expectError = [&](const std::string& fragment) {
        try {
            readTreeInput(dir.path().string());
            ADD_FAILURE() << "read an incomplete tree, expected: " << fragment;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
        }
    };
    const auto normals = readBytes(dir.file("normals-1"));
    writeBytes(dir.file("normals-1"), normals, normals.size() - 12);
    expectError("normals-1");
    writeBytes(dir.file("normals-1"), normals);
    const auto points = readBytes(dir.file("points-3"));
    writeBytes(dir.file("points-3"), points, points.size() - 1);
    expectError("points-3");
    std::filesystem::remove(dir.file("points-3"));
    expectError("the nodes hold 40 points, the header 64");
    std::filesystem::remove(dir.file("header"));
    expectError("local tree directory");
}

} // namespace
