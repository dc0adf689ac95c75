// Construction of the local tree: splitting, levelling, bounds, coverage on hand-built trees, and whole
// builds of synthetic, real and hostile files checked against their input record by record.
#include "LASHeader.h"
#include "LODTree.h"
#include "LodTreeLog.h"
#include "las/LasBuilder.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Point = std::array<int32_t, 3>;

std::vector<unsigned char> record20(int32_t x, int32_t y, int32_t z = 0) {
    std::vector<unsigned char> r(20, 0xAB);
    std::memcpy(&r[0], &x, 4);
    std::memcpy(&r[4], &y, 4);
    std::memcpy(&r[8], &z, 4);
    return r;
}

int32_t rawX(const unsigned char* r) { return las_detail::loadLE<int32_t>(r); }
int32_t rawY(const unsigned char* r) { return las_detail::loadLE<int32_t>(r + 4); }

// Quadrants (1 to 4) a record takes from the root down, `levels` of them.
std::string quadrantPath(const unsigned char* r, TreeBounds b, int levels) {
    std::string path;
    const double x = rawX(r), y = rawY(r);
    for (int l = 0; l < levels; ++l) {
        const double mx = (b[0] + b[1]) * 0.5, my = (b[2] + b[3]) * 0.5;
        const bool hx = x >= mx, hy = y >= my;
        path += char('1' + (hx ? 2 : 0) + (hy ? 1 : 0));
        b = {hx ? mx : b[0], hx ? b[1] : mx, hy ? my : b[2], hy ? b[3] : my};
    }
    return path;
}

std::string digits(const std::string& suffix) {
    std::string d;
    for (size_t i = 1; i < suffix.size(); i += 2)
        d += suffix[i];
    return d;
}

// Point files of a tree directory by suffix, as raw bytes.
std::map<std::string, std::vector<unsigned char>> pointFiles(const std::string& dir) {
    std::map<std::string, std::vector<unsigned char>> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("points", 0) == 0)
            out[name.substr(6)] = readBytes(e.path().string());
    }
    return out;
}

struct QuietLog : testing::Test {
    std::ostringstream log;
    void SetUp() override { setLodTreeLog(&log); }
    void TearDown() override { setLodTreeLog(nullptr); }
};

// ---- partitioning, levelling, bounds and coverage on hand-built trees

struct Partition : QuietLog {
    TempDir dir;
    LODTree tree{dir.path().string() + "/", 20, 0};
    LODTreeNode& root = *tree.root;
};

TEST_F(Partition, FortyThousandPointsStayFortyThousandAndOneSplit) {
    const TreeBounds b{0, 1000, 0, 1000};
    for (int i = 0; i < MAX_LEAF_POINTS; ++i)
        ASSERT_FALSE(root.partitionPoint(record20(i % 200 * 5, i / 200 * 5, i).data(), b)) << i;
    root.closeOutputFiles();
    EXPECT_EQ(root.numPoints, MAX_LEAF_POINTS);
    EXPECT_EQ(readBytes(root.getPointPath()).size(), 20u * MAX_LEAF_POINTS);
    EXPECT_EQ(root.child(1), nullptr);

    EXPECT_TRUE(root.partitionPoint(record20(999, 999, -1).data(), b));
    root.closeOutputFiles();
    EXPECT_TRUE(root.isSplit());
    EXPECT_FALSE(fs::exists(root.getPointPath()));
    EXPECT_EQ(root.countPoints(), uint64_t(MAX_LEAF_POINTS) + 1);
    for (int q = 1; q <= 4; ++q) {
        const LODTreeNode* c = root.child(q);
        const auto bytes = readBytes(c->getPointPath());
        ASSERT_EQ(bytes.size(), 20u * uint64_t(c->numPoints)) << q;
        EXPECT_EQ(c->numPoints, 10000 + (q == 4)) << q;
        for (size_t at = 0; at < bytes.size(); at += 20)
            ASSERT_EQ(quadrantPath(&bytes[at], b, 1), std::to_string(q)) << rawX(&bytes[at]) << " " << rawY(&bytes[at]);
    }
}

TEST_F(Partition, PilesOfOnePositionStayTogetherUntilSomethingCanSeparate) {
    const TreeBounds b{0, 1024, 0, 1024};
    // No split can separate these: the leaf takes them over the limit instead of splitting forever.
    for (int i = 0; i <= MAX_LEAF_POINTS; ++i)
        ASSERT_FALSE(root.partitionPoint(record20(100, 100, i).data(), b));
    EXPECT_EQ(root.numPoints, MAX_LEAF_POINTS + 1);
    // A point elsewhere splits until it is apart from the pile: (100, 100) and (200, 100) part at
    // level 3, where x = 128 divides them.
    EXPECT_TRUE(root.partitionPoint(record20(200, 100).data(), b));
    for (int i = 0; i < 10; ++i)
        root.partitionPoint(record20(100, 100).data(), b);
    root.closeOutputFiles();
    const auto files = pointFiles(dir.path().string());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files.at("-1-1-1").size(), 20u * (MAX_LEAF_POINTS + 11));
    EXPECT_EQ(files.at("-1-1-3").size(), 20u);
    EXPECT_EQ(root.getMaxLevel(), 3);
    EXPECT_EQ(root.countPoints(), uint64_t(MAX_LEAF_POINTS) + 12);
}

TEST_F(Partition, NoSplitBelowTheDepthLimit) {
    // Points one unit apart in a square of 2^20 units part only at level 19.
    const TreeBounds b{0, 1 << 20, 0, 1 << 20};
    for (int i = 0; i < MAX_LEAF_POINTS + 500; ++i)
        root.partitionPoint(record20(i % 2, 0, i).data(), b);
    root.closeOutputFiles();
    EXPECT_EQ(root.getMaxLevel(), MAX_TREE_LEVEL);
    const auto files = pointFiles(dir.path().string());
    ASSERT_EQ(files.size(), 1u);
    std::string deepest;
    for (int l = 0; l < MAX_TREE_LEVEL; ++l)
        deepest += "-1";
    EXPECT_EQ(files.begin()->first, deepest);
    EXPECT_EQ(files.begin()->second.size(), 20u * (MAX_LEAF_POINTS + 500));
}

LODTreeNode* split(LODTreeNode* n) {
    n->numPoints = -1;
    n->createChildren();
    return n;
}

TEST_F(Partition, LevellingPushesEveryPointToTheDeepestLevel) {
    const TreeBounds b{0, 1024, 0, 1024};
    split(&root);
    // Depth 5 through quadrant 4.
    LODTreeNode* deep = root.child(4);
    TreeBounds db{512, 1024, 512, 1024};
    for (int l = 1; l < 5; ++l) {
        deep = split(deep)->child(1);
        db = {db[0], (db[0] + db[1]) / 2, db[2], (db[2] + db[3]) / 2};
    }
    deep->partitionPoint(record20(520, 520).data(), db);
    // A level-2 leaf "-1-2" with one point: it ends at level 5 under its own suffix.
    LODTreeNode* level2 = split(root.child(1))->child(2);
    level2->partitionPoint(record20(100, 400, 7).data(), b);
    // A level-1 leaf with four points in each of its 256 level-5 cells (32 units wide): more node
    // files than may be open at once.
    std::vector<std::vector<unsigned char>> grid;
    for (int cx = 0; cx < 16; ++cx)
        for (int cy = 0; cy < 16; ++cy)
            for (int k = 0; k < 4; ++k)
                grid.push_back(record20(512 + cx * 32 + 3 + 7 * k, cy * 32 + 30 - 9 * k, cx * 100 + cy));
    for (const auto& r : grid)
        root.child(3)->partitionPoint(r.data(), b);
    root.closeOutputFiles();

    ASSERT_EQ(root.getMaxLevel(), 5);
    root.levelTree(5, b);
    root.closeOutputFiles();
    EXPECT_LE(tree.maxOpenFiles(), LODTree::MaxOpenFiles);
    EXPECT_EQ(root.getMaxLevel(), 5);
    EXPECT_EQ(root.countPoints(), grid.size() + 2);
    EXPECT_GT(grid.size() / 4, size_t(LODTree::MaxOpenFiles));

    const auto files = pointFiles(dir.path().string());
    EXPECT_EQ(files.size(), 256u + 2);
    size_t records = 0;
    for (const auto& [suffix, bytes] : files) {
        ASSERT_EQ(suffix.size(), 10u) << "not at level 5: " << suffix;
        for (size_t at = 0; at < bytes.size(); at += 20, ++records)
            EXPECT_EQ(quadrantPath(&bytes[at], b, 5), digits(suffix)) << suffix;
    }
    EXPECT_EQ(records, grid.size() + 2);
    // (100, 400) was in "-1-2"; at level 5 it lies in quadrant 2, 3, 3 of that.
    ASSERT_EQ(files.count("-1-2-2-3-3"), 1u);
    EXPECT_EQ(files.at("-1-2-2-3-3"), record20(100, 400, 7));
}

TEST_F(Partition, SmallestLeafWidthAndTheDoublingOfTheSquare) {
    split(&root);
    split(root.child(3));
    EXPECT_EQ(root.getHighestLeafDimensions({0, 1000, 0, 1000}), 250);
    EXPECT_EQ(root.getHighestLeafDimensions({0, 1001, 0, 1001}), 251);

    // 250 doubles to 500 and stops at 1000, which is not smaller than the extent.
    EXPECT_EQ(finalTreeBounds({0, 1000, 0, 1000}, nullptr, 250), (TreeBounds{0, 1000, 0, 1000}));
    EXPECT_EQ(finalTreeBounds({-7, 994, 3, 1004}, nullptr, 251), (TreeBounds{-7, 997, 3, 1007}));
    // Records outside the first bounds widen the square on either side.
    const TreeBounds inside{10, 900, 100, 800};
    EXPECT_EQ(finalTreeBounds({0, 1000, 0, 1000}, &inside, 250), (TreeBounds{0, 1000, 0, 1000}));
    const TreeBounds outside{-300, 900, 100, 1900};
    EXPECT_EQ(finalTreeBounds({0, 1000, 0, 1000}, &outside, 250), (TreeBounds{-300, 1700, 0, 2000}));
    // Without a width the side starts at one unit.
    EXPECT_EQ(finalTreeBounds({5, 5, 7, 7}, nullptr, 0), (TreeBounds{5, 6, 7, 8}));
    const TreeBounds line{0, 3, 0, 0};
    EXPECT_EQ(finalTreeBounds({0, 0, 0, 0}, &line, 0), (TreeBounds{0, 4, 0, 4}));
}

TEST_F(Partition, CoverageCountsGridCellsAndAveragesChildren) {
    // A leaf whose records mark the lower half of its 36 x 36 grid; one record on the maximum edge and
    // one outside belong to marked cells of the edge columns, not to cells beyond the grid.
    const TreeBounds b{0, 36, 0, 36};
    for (int c = 0; c < 36; ++c)
        for (int r = 0; r < 18; ++r)
            root.partitionPoint(record20(c, r).data(), b);
    root.partitionPoint(record20(36, 17).data(), b);
    root.partitionPoint(record20(-5, 0).data(), b);
    EXPECT_EQ(root.calculateCoverage(b), 0.5f);

    TempDir other;
    LODTree t(other.path().string() + "/", 20, 0);
    const TreeBounds big{0, 72, 0, 72};
    split(t.root.get());
    for (int c = 0; c < 36; ++c)
        for (int r = 0; r < 36; ++r) {
            t.root->child(1)->partitionPoint(record20(c, r).data(), {0, 36, 0, 36});
            if (r < 18)
                t.root->child(2)->partitionPoint(record20(c, 36 + r).data(), {0, 36, 36, 72});
            else
                t.root->child(4)->partitionPoint(record20(36 + c, 36 + r).data(), {36, 72, 36, 72});
        }
    t.root->child(4)->partitionPoint(record20(72, 72).data(), {36, 72, 36, 72});
    EXPECT_EQ(t.root->calculateCoverage(big), 0.5f);
    EXPECT_EQ(t.root->child(1)->coverage, 1.0f);
    EXPECT_EQ(t.root->child(2)->coverage, 0.5f);
    EXPECT_EQ(t.root->child(3)->coverage, 0.0f);
    EXPECT_EQ(t.root->child(4)->coverage, 0.5f);
}

TEST_F(Partition, NodeFileThatCannotBeCreatedEndsTheBuild) {
    split(&root);
    fs::create_directory(root.child(2)->getPointPath());
    try {
        root.partitionPoint(record20(1, 900).data(), {0, 1000, 0, 1000});
        ADD_FAILURE() << "no error";
    } catch (const TreeBuildError& e) {
        EXPECT_NE(std::string(e.what()).find(root.child(2)->getPointPath()), std::string::npos) << e.what();
    }
}

// ---- whole builds

// A LAS file built byte by byte: LasBuilder's header, records and quirks, with the given positions.
struct InputFile {
    int format = 1;
    int extraPerPoint = 0, headerExtra = 0, gap = 0;
    std::vector<int> vlrLengths;
    std::vector<Point> points;
    std::optional<std::array<double, 4>> box; // header box in stored units; the points' extent by default

    std::vector<unsigned char> bytes() const {
        LasBuilder b;
        b.format = format, b.points = 0, b.extraPerPoint = extraPerPoint;
        b.headerExtra = headerExtra, b.gap = gap, b.vlrLengths = vlrLengths;
        std::vector<unsigned char> out = b.bytes();
        LASHeader h = b.header();
        h.NumberOfPointRecords = uint32_t(points.size());
        std::array<double, 4> e = {0, 0, 0, 0};
        if (!points.empty()) {
            e = {1e18, -1e18, 1e18, -1e18};
            for (const Point& p : points)
                e = {std::min<double>(e[0], p[0]), std::max<double>(e[1], p[0]), std::min<double>(e[2], p[1]),
                     std::max<double>(e[3], p[1])};
        }
        if (box)
            e = *box;
        h.Min_X = e[0] * h.ScaleFactor_X + h.OffsetX, h.Max_X = e[1] * h.ScaleFactor_X + h.OffsetX;
        h.Min_Y = e[2] * h.ScaleFactor_Y + h.OffsetY, h.Max_Y = e[3] * h.ScaleFactor_Y + h.OffsetY;
        h.copyToBuffer(out.data());
        const int size = las_detail::formatSize(format);
        for (uint32_t i = 0; i < points.size(); ++i) {
            unsigned char rec[64] = {};
            auto f = LasBuilder::pointFields(i);
            f.X = points[i][0], f.Y = points[i][1], f.Z = points[i][2];
            switch (format) {
            case 0: f.pack<0>(rec); break;
            case 1: f.pack<1>(rec); break;
            case 2: f.pack<2>(rec); break;
            case 3: f.pack<3>(rec); break;
            }
            for (int x = 0; x < extraPerPoint; ++x)
                rec[size + x] = uint8_t(0x55 + i * 3 + x);
            out.insert(out.end(), rec, rec + size + extraPerPoint);
        }
        return out;
    }
};

// A dense patch of 4096 units that forces a tree of several levels, and a sparse scatter over a
// square of 2^20 units whose corners are taken.
std::vector<Point> clusteredSurvey(uint32_t dense, uint32_t sparse, uint64_t seed) {
    std::vector<Point> pts = {{0, 0, 1000}, {(1 << 20) - 1, (1 << 20) - 1, 1000}};
    uint64_t s = seed;
    auto next = [&s](uint32_t range) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return int32_t((s >> 33) % range);
    };
    for (uint32_t i = 0; i < dense; ++i) {
        const int32_t x = 300000 + next(1 << 12), y = 700000 + next(1 << 12);
        pts.push_back({x, y, 1000 + (x + y) / 64 + next(50)});
    }
    for (uint32_t i = 0; i < sparse; ++i) {
        const int32_t x = next(1 << 20), y = next(1 << 20);
        pts.push_back({x, y, 1000 + (x + y) / 64});
    }
    return pts;
}

std::string writeInput(const TempDir& dir, const InputFile& in, const std::string& name = "in.las") {
    const std::string path = dir.file(name);
    writeBytes(path, in.bytes());
    return path;
}

void buildTree(const std::string& las, const std::string& dir, TreeBuildControl* control = nullptr) {
    FILE* f = std::fopen(las.c_str(), "rb");
    ASSERT_NE(f, nullptr) << las;
    struct Closer {
        FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{f};
    fs::create_directories(dir);
    partition(f, dir + "/", control);
}

// The "header" file the build must write: the input's bytes before its points, with the tree-bounds
// record after the input's records and the counts grown by it.
std::vector<unsigned char> expectedHeaderFile(const std::vector<unsigned char>& in, const TreeBounds& b) {
    LASHeader h;
    h.copyFromBuffer(in.data());
    uint64_t end = h.RecordAreaStart();
    for (uint32_t i = 0; i < h.NumberOfVariableLengthRecords; ++i)
        end += 54 + las_detail::loadLE<uint16_t>(&in[end + 20]);
    std::vector<unsigned char> quma(86, 0);
    std::memcpy(&quma[2], "QUMA", 4);
    quma[20] = 32;
    std::memcpy(&quma[22], "Quadtree bounds on server", 25);
    std::memcpy(&quma[54], b.data(), 32);
    std::vector<unsigned char> out(in.begin(), in.begin() + long(end));
    las_detail::storeLE<uint32_t>(&out[96], h.OffsetToPointData + 86);
    las_detail::storeLE<uint32_t>(&out[100], h.NumberOfVariableLengthRecords + 1);
    out.insert(out.end(), quma.begin(), quma.end());
    if (end < h.OffsetToPointData)
        out.insert(out.end(), in.begin() + long(end), in.begin() + h.OffsetToPointData);
    return out;
}

struct TreeSummary {
    size_t nodes = 0;
    int depth = 0;
};

// Checks a built tree against its input: every input record in exactly one node, in the region of
// that node and, within an inner node, in the range of the child it came from; the per-point files'
// lengths; the header file; nothing left over.
void expectCompleteTree(const std::string& las, const std::string& dir, uint64_t expectedPoints,
                        TreeSummary* out = nullptr) {
    TreeSummary summary;
    const auto in = readBytes(las);
    LASHeader h;
    h.copyFromBuffer(in.data());
    EXPECT_EQ(h.NumberOfPointRecords, expectedPoints) << las;
    const size_t length = h.PointDataRecordLength;
    std::vector<std::string> want;
    for (uint64_t i = 0; i < h.NumberOfPointRecords; ++i)
        want.emplace_back(reinterpret_cast<const char*>(&in[h.OffsetToPointData + i * length]), length);

    const TreeBounds b = LODTree::retrieveTreeBounds(dir + "/", nullptr);
    EXPECT_EQ(b[1] - b[0], b[3] - b[2]) << "not a square";
    for (const auto& r : want) {
        const auto* p = reinterpret_cast<const unsigned char*>(r.data());
        EXPECT_TRUE(rawX(p) >= b[0] && rawX(p) <= b[1] && rawY(p) >= b[2] && rawY(p) <= b[3])
            << "outside the tree: " << rawX(p) << " " << rawY(p);
    }
    EXPECT_EQ(readBytes(dir + "/header"), expectedHeaderFile(in, b)) << las;

    std::vector<std::string> got;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name == "header")
            continue;
        const char* bases[] = {"points", "normals", "surf", "border"};
        std::string suffix = "?";
        for (const char* base : bases)
            if (name.rfind(base, 0) == 0)
                suffix = name.substr(std::strlen(base));
        const bool isSuffix = suffix.size() % 2 == 0 && std::all_of(suffix.begin(), suffix.end(), [&](char c) {
                                  return c == '-' || (c >= '1' && c <= '4');
                              });
        EXPECT_TRUE(isSuffix) << "leftover file " << name;
        EXPECT_TRUE(fs::exists(dir + "/points" + suffix)) << "leftover file " << name;
        if (!isSuffix || name.rfind("points", 0) != 0)
            continue;

        const auto bytes = readBytes(e.path().string());
        LODTreeNodeHeader nh;
        ASSERT_GE(bytes.size(), 26u) << name;
        std::memcpy(&nh.numPoints, &bytes[0], 4);
        std::memcpy(&nh.offsetQ2, &bytes[4], 4);
        std::memcpy(&nh.offsetQ3, &bytes[8], 4);
        std::memcpy(&nh.offsetQ4, &bytes[12], 4);
        nh.subNodes = bytes[24];
        EXPECT_GT(nh.numPoints, 0u) << name;
        ASSERT_EQ(bytes.size(), 26 + uint64_t(nh.numPoints) * length) << name;
        EXPECT_EQ(fs::file_size(dir + "/normals" + suffix), 12ull * nh.numPoints) << name;
        EXPECT_EQ(fs::file_size(dir + "/surf" + suffix), 4ull * nh.numPoints) << name;
        EXPECT_EQ(fs::file_size(dir + "/border" + suffix), 1ull * nh.numPoints) << name;
        ++summary.nodes;
        const std::string path = digits(suffix);
        summary.depth = std::max(summary.depth, int(path.size()));

        const uint32_t starts[5] = {0, nh.offsetQ2, nh.offsetQ3, nh.offsetQ4, nh.numPoints};
        if (nh.subNodes == 0)
            EXPECT_EQ(nh.offsetQ2 | nh.offsetQ3 | nh.offsetQ4, 0u) << name;
        else
            EXPECT_TRUE(starts[1] <= starts[2] && starts[2] <= starts[3] && starts[3] <= starts[4]) << name;
        for (int k = 1; k <= 4; ++k)
            for (uint32_t i = starts[k - 1]; i < starts[k]; ++i) {
                const unsigned char* r = &bytes[26 + i * length];
                const std::string route = quadrantPath(r, b, int(path.size()) + 1);
                ASSERT_EQ(route.substr(0, path.size()), path) << name << ": record " << i << " outside its node";
                if (nh.subNodes != 0) {
                    ASSERT_EQ(route.back(), char('0' + k)) << name << ": record " << i << " not from child " << k;
                }
                got.emplace_back(reinterpret_cast<const char*>(r), length);
            }
    }
    EXPECT_EQ(got.size(), want.size());
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_TRUE(got == want) << "the nodes do not hold exactly the input's records";
    if (out)
        *out = summary;
}

void expectSameFiles(const std::string& a, const std::string& b) {
    std::map<std::string, std::vector<unsigned char>> fa, fb;
    for (const auto& e : fs::directory_iterator(a))
        fa[e.path().filename().string()] = readBytes(e.path().string());
    for (const auto& e : fs::directory_iterator(b))
        fb[e.path().filename().string()] = readBytes(e.path().string());
    ASSERT_EQ(fa.size(), fb.size());
    for (const auto& [name, bytes] : fa)
        EXPECT_TRUE(fb.count(name) && fb[name] == bytes) << name << " differs";
}

struct Build : QuietLog {
    TempDir dir;
    std::string out(const std::string& name = "tree") const { return dir.file(name); }
};

class SyntheticBuild : public Build, public testing::WithParamInterface<int> {};

TEST_P(SyntheticBuild, EveryRecordInExactlyOneNodeOfASeveralLevelTree) {
    InputFile in;
    in.format = GetParam();
    in.points = clusteredSurvey(MAX_LEAF_POINTS + 1000, 60, 17 + uint64_t(GetParam()));
    if (in.format == 1) // the quirks of real files
        in.extraPerPoint = 8, in.headerExtra = 13, in.gap = 2, in.vlrLengths = {40, 0, 7};
    const std::string las = writeInput(dir, in);
    TreeBuildControl control;
    uint64_t lastDone = 0, lastTotal = 0;
    control.progress = [&](const char* stage, uint64_t done, uint64_t total) {
        if (std::string(stage) == "partition")
            lastDone = done, lastTotal = total;
    };
    buildTree(las, out(), &control);
    TreeSummary s;
    expectCompleteTree(las, out(), in.points.size(), &s);
    EXPECT_GE(s.depth, 6);

    std::vector<std::string> stages;
    for (const auto& t : control.stageTimes)
        stages.push_back(t.stage);
    EXPECT_EQ(stages, (std::vector<std::string>{"partition", "levels", "neighbours", "normals", "borders", "coverage",
                                                "simplification"}));
    EXPECT_EQ(control.pointsRead, in.points.size());
    EXPECT_GE(control.nodes, s.nodes);
    EXPECT_GE(control.maxOpenFiles, 1);
    EXPECT_LE(control.maxOpenFiles, LODTree::MaxOpenFiles);
    EXPECT_EQ(lastDone, 2 * in.points.size());
    EXPECT_EQ(lastTotal, lastDone);

    if (in.format == 1) {
        buildTree(las, out("again"));
        expectSameFiles(out(), out("again"));
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, SyntheticBuild, testing::Values(0, 1, 2, 3));

// One build per sample of the manifest (or one that skips without them).
std::vector<std::string> sampleNames() {
    std::vector<std::string> names;
    for (const auto& s : manifestSamples("las"))
        names.push_back(s.name);
    if (names.empty())
        names.push_back("");
    return names;
}

class RealSampleBuild : public Build, public testing::WithParamInterface<std::string> {};

TEST_P(RealSampleBuild, EveryRecordInExactlyOneNode) {
    if (GetParam().empty())
        GTEST_SKIP() << "no LiDAR samples under " << PONTARO_DATA_DIR << "/las";
    for (const auto& s : manifestSamples("las")) {
        if (s.name != GetParam())
            continue;
        buildTree(s.path, out());
        expectCompleteTree(s.path, out(), s.points);
        if (s.name == "mvk-thin.las") { // bytes between the records and the points
            buildTree(s.path, out("again"));
            expectSameFiles(out(), out("again"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, RealSampleBuild, testing::ValuesIn(sampleNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string n = info.param.empty() ? "none" : info.param;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

TEST_F(Build, HostileInputsKeepEveryRecord) {
    struct Case {
        const char* name;
        InputFile in;
        int nodes; // node files expected, -1 for any
    };
    std::vector<Case> cases(4);
    cases[0] = {"50,000 identical points", {}, 1};
    cases[0].in.points.assign(50000, Point{123456, -98765, 42});
    cases[1] = {"header box smaller than the points", {}, -1};
    cases[1].in.points = clusteredSurvey(MAX_LEAF_POINTS + 200, 60, 5);
    cases[1].in.box = std::array<double, 4>{400000, 500000, 300000, 400000};
    cases[2] = {"one point", {}, 1};
    cases[2].in.points = {{-5, 7, 9}};
    cases[3] = {"no points", {}, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string las = writeInput(dir, c.in, std::string(c.name) + ".las");
        const std::string tree = out(c.name);
        buildTree(las, tree);
        TreeSummary s;
        expectCompleteTree(las, tree, c.in.points.size(), &s);
        if (c.nodes >= 0) {
            EXPECT_EQ(s.nodes, size_t(c.nodes));
        }
    }
}

TEST_F(Build, RefusesInputsItCannotRead) {
    InputFile good;
    good.points = clusteredSurvey(0, 20, 3);
    const auto bytes = good.bytes();
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        const char* message;
    };
    std::vector<Case> cases = {{"not LAS", bytes, "not a LAS file"},
                               {"format 4", bytes, "unknown point data format"},
                               {"short records", bytes, "shorter than"},
                               {"truncated", bytes, "truncated"}};
    cases[0].bytes[0] = 'X';
    cases[1].bytes[104] = 4;
    las_detail::storeLE<uint16_t>(&cases[2].bytes[105], 27);
    cases[3].bytes.resize(bytes.size() - 5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string las = dir.file(std::string(c.name) + ".las");
        writeBytes(las, c.bytes);
        try {
            buildTree(las, out(c.name));
            ADD_FAILURE() << "no error";
        } catch (const TreeBuildError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(las), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(out(c.name) + "/header"));
    }
    // A directory that does not exist: the first node file cannot be created.
    const std::string las = writeInput(dir, good);
    FILE* f = std::fopen(las.c_str(), "rb");
    try {
        partition(f, dir.file("missing") + "/");
        ADD_FAILURE() << "no error";
    } catch (const TreeBuildError& e) {
        EXPECT_NE(std::string(e.what()).find(dir.file("missing") + "/points"), std::string::npos) << e.what();
    }
    std::fclose(f);
}

TEST_F(Build, AnInterruptedRebuildIsNeverTakenForComplete) {
    InputFile in;
    in.points = clusteredSurvey(3000, 500, 9);
    const std::string las = writeInput(dir, in);
    buildTree(las, out());
    ASSERT_TRUE(fs::exists(out() + "/header"));

    std::atomic<bool> stop{false};
    TreeBuildControl control;
    control.interrupt = &stop;
    control.progress = [&](const char*, uint64_t, uint64_t) { stop = true; };
    try {
        buildTree(las, out(), &control);
        ADD_FAILURE() << "no error";
    } catch (const TreeBuildError& e) {
        EXPECT_STREQ(e.what(), "interrupted");
    }
    EXPECT_FALSE(fs::exists(out() + "/header"));
}

} // namespace
