// The classification's inputs (LAS files, local tree directories) and outputs (the LAS copy with surface
// numbers, the tree's surf files), read back with the project's LAS reader.
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
    for (int i = 0; i < side * side; ++i)
        s.add(10 + i / side * 0.5, 20 + i % side * 0.5, 5 + 0.25 * (i / side), 0, {-0.4472f, 0, 0.8944f});
    return s;
}

std::vector<int32_t> someClasses(size_t n) {
    std::vector<int32_t> c(n);
    for (size_t i = 0; i < n; ++i)
        c[i] = i % 4 == 0 ? 0 : int32_t(i % 3 == 0 ? 65536 + i : i);
    return c;
}

// `out` holds the records of `in` in order, byte for byte but for the Point Source ID (the surface).
void expectRecordsWithSurfaces(const std::vector<unsigned char>& in, size_t inOffset, const std::vector<unsigned char>& out,
                               size_t outOffset, size_t records, size_t length, const std::vector<int32_t>& classes) {
    ASSERT_EQ(out.size(), outOffset + records * length);
    for (size_t r = 0; r < records; ++r) {
        auto want = std::vector<unsigned char>(in.begin() + long(inOffset + r * length), in.begin() + long(inOffset + (r + 1) * length));
        const uint16_t id = pointSourceIdForSurface(classes[r]);
        want[18] = uint8_t(id & 0xFF), want[19] = uint8_t(id >> 8);
        ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin() + long(outOffset + r * length))) << "record " << r;
    }
}

TEST(ClassificationFiles, PointSourceIdsWrapAboveSixteenBitsNeverToZero) {
    const std::pair<int32_t, uint16_t> cases[] = {{0, 0},     {-3, 0},     {1, 1},        {65535, 65535},
                                                  {65536, 1}, {131070, 65535}, {131071, 1}};
    for (auto [surface, id] : cases)
        EXPECT_EQ(pointSourceIdForSurface(surface), id) << surface;
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
        EXPECT_NEAR(ci.positions[i].z, s.positions[i].z - 5, 1e-9);
        EXPECT_NEAR(std::fabs(ci.normals[i].x), 0.4472f, 1e-3) << "fitted to the tilted plane";
    }
    const auto classes = someClasses(s.positions.size());
    writeClassifiedLAS(ci, classes, out);
    const auto a = readBytes(in), b = readBytes(out);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 232, b.begin())) << "header and the bytes before the points";
    expectRecordsWithSurfaces(a, 232, b, 232, s.positions.size(), 36, classes);
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(out.c_str()));
    ASSERT_EQ(las.points.size(), s.positions.size());
    EXPECT_EQ(las.points[5]->GetPointSourceID(), pointSourceIdForSurface(classes[5]));
    EXPECT_THROW(writeClassifiedLAS(ci, std::vector<int32_t>(3), out), std::invalid_argument);

    writeBytes(in, a, a.size() - 3);
    try {
        readLASInput(in, 1);
        ADD_FAILURE() << "a truncated file was read";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("truncated"), std::string::npos) << e.what();
    }
    writeBytes(in, std::vector<unsigned char>(300, 'x'));
    EXPECT_THROW(readLASInput(in, 1), std::runtime_error);
    EXPECT_THROW(readLASInput(dir.file("missing.las"), 1), std::runtime_error);
}

TEST(ClassificationFiles, TreeDirectoryInSuffixOrderItsSurfFilesAndCopy) {
    TempDir dir;
    Scene s = tiltedPlane(8); // 64 points
    s.normals[3] = {0, 0, 0};
    // Written in an order other than the suffixes', beside files that are no node's points.
    writeTree(dir.path().string(), s, {{"-3", 40, 64}, {"", 0, 10}, {"-1-2", 25, 40}, {"-1", 10, 25}});
    writeBytes(dir.file("points-1temp"), {1, 2, 3});
    writeBytes(dir.file("points-5"), {1, 2, 3});
    const ClassificationInput in = readClassificationInput(dir.path().string());
    EXPECT_TRUE(in.isTree);
    std::vector<std::string> suffixes;
    for (const auto& n : in.nodes)
        suffixes.push_back(n.suffix);
    EXPECT_EQ(suffixes, (std::vector<std::string>{"", "-1", "-1-2", "-3"}));
    EXPECT_EQ(in.nodes[2].numPoints, 15u);
    ASSERT_EQ(in.positions.size(), 64u);
    for (size_t i = 0; i < 64; ++i)
        EXPECT_NEAR(in.positions[i].x, s.positions[i].x - 10, 1e-9) << i;
    QueryHandler q(in.positions, in.normals);
    EXPECT_FALSE(q.point(3).hasNormal()) << "a stored (0, 0, 0) is no normal";
    EXPECT_NEAR(q.point(4).normal.z, 0.8944f, 1e-4) << "stored normals are scaled; the handler normalises them";

    const auto classes = someClasses(64);
    writeTreeSurfaceFiles(in, classes);
    std::vector<uint32_t> surf(15);
    ASSERT_EQ(readBytes(dir.file("surf-1-2")).size(), 4u * 15);
    std::memcpy(surf.data(), readBytes(dir.file("surf-1-2")).data(), 60);
    EXPECT_EQ(surf, std::vector<uint32_t>(classes.begin() + 25, classes.begin() + 40)) << "true numbers, not 16-bit ones";
    EXPECT_EQ(readBytes(dir.file("surf")).size(), 40u);

    const std::string out = dir.file("copy.las");
    writeClassifiedLAS(in, classes, out);
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(out.c_str()));
    EXPECT_EQ(las.NumberOfPointRecords, 64u);
    ASSERT_EQ(las.records.size(), 1u) << "the tree-bounds record stays in the tree";
    EXPECT_STREQ(las.records[0].UserID, "other");
    std::vector<unsigned char> expected;
    for (size_t i = 0; i < 64; ++i) {
        auto r = record(s.positions[i], uint32_t(i), 28);
        expected.insert(expected.end(), r.begin(), r.end());
    }
    expectRecordsWithSurfaces(expected, 0, readBytes(out), las.OffsetToPointData, 64, 28, classes);

    // Incomplete trees are refused naming what is wrong.
    const auto normals = readBytes(dir.file("normals-1")), points = readBytes(dir.file("points-3"));
    const std::function<void()> damage[] = {
        [&] { writeBytes(dir.file("normals-1"), normals, normals.size() - 12); },
        [&] { writeBytes(dir.file("normals-1"), normals), writeBytes(dir.file("points-3"), points, points.size() - 1); },
        [&] { std::filesystem::remove(dir.file("points-3")); }, [&] { std::filesystem::remove(dir.file("header")); }};
    const char* fragments[] = {"normals-1", "points-3", "the nodes hold 40 points, the header 64", "local tree directory"};
    for (size_t i = 0; i < 4; ++i) {
        damage[i]();
        try {
            readTreeInput(dir.path().string());
            ADD_FAILURE() << "read an incomplete tree, expected: " << fragments[i];
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(fragments[i]), std::string::npos) << e.what();
        }
    }
}

} // namespace
