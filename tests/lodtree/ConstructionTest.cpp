// Local tree construction: node identities and the node header, splitting and levelling by hand, whole builds
// checked against their input record by record, simplification, nearest neighbours (the indexed search
// against the brute force), normals and border marks on hand-made trees against references computed here.
#include "LASHeader.h"
#include "LASPoint.h"
#include "LODTree.h"
#include "LodTreeLog.h"
#include "NearestNeighbours.h"
#include "NeighbourSearch.h"
#include "las/LasBuilder.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using Point = std::array<int32_t, 3>;
using Cloud = std::vector<Point>;
using Bytes = std::vector<unsigned char>;

// The stages print from several threads at once: the log is discarded without stream state changes.
struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
} nullBuffer;
std::ostream nullLog(&nullBuffer);
[[maybe_unused]] const bool quiet = (setLodTreeLog(&nullLog), true);

// Whether `f` throws a TreeBuildError whose message names every one of `parts`.
template <class F> testing::AssertionResult throwsNaming(F f, std::initializer_list<std::string> parts) {
    try {
        f();
    } catch (const TreeBuildError& e) {
        for (const std::string& p : parts)
            if (std::string(e.what()).find(p) == std::string::npos)
                return testing::AssertionFailure() << e.what();
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "no error";
}

TEST(NodeID, SuffixesNeighboursAndBorderLevels) {
    const std::pair<NodeID, const char*> names[] = {
        {{0, 0, 0}, ""},   {{1, 0, 0}, "-1"},     {{1, 0, 1}, "-2"},   {{1, 1, 0}, "-3"},
        {{1, 1, 1}, "-4"}, {{3, 5, 2}, "-3-2-3"}, {{2, 1, 3}, "-2-4"}, {{3, 7, 7}, "-4-4-4"},
        {{2, 4, 0}, ""},   {{2, 0, 4}, ""},       {{2, -1, 0}, ""},    {{3, 2, -5}, ""}};
    for (const auto& [id, suffix] : names)
        EXPECT_EQ(id.generateSuffix(), suffix) << int(id.level) << " " << id.x << " " << id.y;
    const NodeID n(3, 5, 2);
    for (int q = 1; q <= 4; ++q)
        EXPECT_EQ(n.child(q).generateSuffix(), "-3-2-3-" + std::to_string(q));
    const std::tuple<uint32_t, int, int> markers[] = {
        {0x80000000u, 0, -1},  {0x90000000u, 1, 0},  {0xA0000000u, -1, 0}, {0xB0000000u, 0, 1},
        {0xC0000000u, -1, -1}, {0xD0000000u, 1, -1}, {0xE0000000u, -1, 1}, {0xF0000000u, 1, 1}};
    for (const auto& [marker, dx, dy] : markers)
        EXPECT_EQ(n.getNeighbourID(marker), NodeID(3, 5 + dx, 2 + dy)) << std::hex << marker;
    EXPECT_EQ(n.getNeighbourID(0x70000000u), n) << "not a neighbour marker";
    const std::pair<NodeID, int> borders[] = {{{3, 4, 3}, 2}, {{3, 2, 2}, 0}, {{1, 1, 0}, 1}, {{3, 8, 2}, 0}};
    for (const auto& [other, level] : borders) {
        EXPECT_EQ(n.getBorderLevel(&other), level) << other.x << " " << other.y;
        EXPECT_EQ(other.getBorderLevel(&n), level) << other.x << " " << other.y;
    }
}

// Splits `n` and its new children `levels` deep; returns n.
LODTreeNode* split(LODTreeNode* n, int levels = 1) {
    n->numPoints = -1;
    n->createChildren();
    for (auto& c : n->children)
        if (levels > 1)
            split(c.get(), levels - 1);
    return n;
}

// A tree built by hand, `levels` deep, record length 20: X, Y, Z at bytes 0, 4, 8.
struct HandTree {
    explicit HandTree(int levels = 0) {
        tree.control = &control;
        if (levels)
            split(root(), levels);
    }
    LODTreeNode* root() { return tree.root.get(); }
    LODTreeNode* node(int level, int x, int y) {
        return root()->getSubNodeFromRoot(NodeID(uint8_t(level), x, y), false);
    }
    void setPoints(LODTreeNode* n, const Cloud& pts) {
        Bytes bytes(pts.size() * 20, 0);
        for (size_t i = 0; i < pts.size(); ++i)
            std::memcpy(&bytes[i * 20], pts[i].data(), 12);
        writeBytes(n->getPointPath(), bytes);
        n->numPoints = int32_t(pts.size());
        points[n] = pts;
    }
    // Every leaf of a level-2 tree (16 leaves of side `w`) gets `fill(x0, y0, leaf index)`.
    void fillLeaves(int w, const std::function<Cloud(int, int, int)>& fill) {
        for (int i = 0; i < 16; ++i)
            setPoints(node(2, i / 4, i % 4), fill(i / 4 * w, i % 4 * w, i));
    }
    void knn(bool flat = false) { root()->calculateKNNint(root(), flat); }
    TempDir dir;
    TreeBuildControl control;
    LODTree tree{dir.path().string() + "/", 20, 0};
    std::map<const LODTreeNode*, Cloud> points;
};

Bytes record20(int32_t x, int32_t y, int32_t z = 0) {
    Bytes r(20, 0xAB);
    const int32_t v[3] = {x, y, z};
    std::memcpy(r.data(), v, 12);
    return r;
}

// Quadrant digits (1 to 4) a record takes from the root down, `levels` of them.
std::string quadrantPath(const unsigned char* r, TreeBounds b, int levels) {
    std::string path;
    const double x = las_detail::loadLE<int32_t>(r), y = las_detail::loadLE<int32_t>(r + 4);
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

std::map<std::string, Bytes> pointFiles(const fs::path& dir) {
    std::map<std::string, Bytes> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (const std::string name = e.path().filename().string(); name.rfind("points", 0) == 0)
            out[name.substr(6)] = readBytes(e.path().string());
    return out;
}

// One record over the limit splits the leaf into quadrants; a node file that cannot be made ends the build.
TEST(Partition, FortyThousandPointsStayFortyThousandAndOneSplit) {
    HandTree t;
    LODTreeNode& root = *t.root();
    const TreeBounds b{0, 1000, 0, 1000};
    for (int i = 0; i < MAX_LEAF_POINTS; ++i)
        ASSERT_FALSE(root.partitionPoint(record20(i % 200 * 5, i / 200 * 5, i).data(), b)) << i;
    EXPECT_EQ(root.child(1), nullptr);
    EXPECT_TRUE(root.partitionPoint(record20(999, 999, -1).data(), b));
    root.closeOutputFiles();
    EXPECT_FALSE(fs::exists(root.getPointPath()));
    EXPECT_EQ(root.countPoints(), uint64_t(MAX_LEAF_POINTS) + 1);
    for (int q = 1; q <= 4; ++q) {
        const auto bytes = readBytes(root.child(q)->getPointPath());
        EXPECT_EQ(bytes.size(), 20u * (10000 + (q == 4))) << q;
        for (size_t at = 0; at < bytes.size(); at += 20)
            ASSERT_EQ(quadrantPath(&bytes[at], b, 1), std::to_string(q)) << at / 20;
    }
    const std::string blocked = split(root.child(2))->child(1)->getPointPath();
    fs::create_directory(blocked);
    EXPECT_TRUE(throwsNaming([&] { root.partitionPoint(record20(1, 600).data(), b); }, {blocked}));
}

// Piles at one position are never split (no endless splitting); the depth limit ends the splitting.
TEST(Partition, PilesOfOnePositionAndTheDepthLimitEndTheSplitting) {
    HandTree t, deep;
    const TreeBounds b{0, 1024, 0, 1024};
    for (int i = 0; i <= MAX_LEAF_POINTS; ++i)
        ASSERT_FALSE(t.root()->partitionPoint(record20(100, 100, i).data(), b));
    // A point elsewhere splits until it is apart: (100, 100) and (200, 100) part at level 3, at x = 128.
    EXPECT_TRUE(t.root()->partitionPoint(record20(200, 100).data(), b));
    t.root()->partitionPoint(record20(100, 100).data(), b);
    t.root()->closeOutputFiles();
    auto files = pointFiles(t.dir.path());
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(files["-1-1-1"].size(), 20u * (MAX_LEAF_POINTS + 2));
    EXPECT_EQ(files["-1-1-3"].size(), 20u);
    EXPECT_EQ(t.root()->getMaxLevel(), 3);
    // Points one unit apart in a square of 2^20 units would part only at level 20.
    for (int i = 0; i < MAX_LEAF_POINTS + 500; ++i)
        deep.root()->partitionPoint(record20(i % 2, 0, i).data(), {0, 1 << 20, 0, 1 << 20});
    deep.root()->closeOutputFiles();
    EXPECT_EQ(deep.root()->getMaxLevel(), MAX_TREE_LEVEL);
    files = pointFiles(deep.dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(digits(files.begin()->first), std::string(MAX_TREE_LEVEL, '1'));
    EXPECT_EQ(files.begin()->second.size(), 20u * (MAX_LEAF_POINTS + 500));
}

// Levelling takes every record to the deepest level, through more node files than may be open at once.
TEST(Partition, LevellingPushesEveryPointToTheDeepestLevelWithBoundedOpenFiles) {
    HandTree t(1);
    LODTreeNode& root = *t.root();
    const TreeBounds b{0, 1024, 0, 1024};
    LODTreeNode* deep = root.child(4); // depth 5 through quadrant 4
    TreeBounds db{512, 1024, 512, 1024};
    for (int l = 1; l < 5; ++l) {
        deep = split(deep)->child(1);
        db = {db[0], (db[0] + db[1]) / 2, db[2], (db[2] + db[3]) / 2};
    }
    deep->partitionPoint(record20(520, 520).data(), db);
    // A one-point level-2 leaf "-1-2" and a level-1 leaf with four points in each of its 256 level-5 cells.
    split(root.child(1))->child(2)->partitionPoint(record20(100, 400, 7).data(), b);
    size_t records = 2;
    for (int cell = 0; cell < 256 * 4; ++cell, ++records) {
        const int cx = cell / 64, cy = cell / 4 % 16, k = cell % 4;
        root.child(3)->partitionPoint(record20(512 + cx * 32 + 3 + 7 * k, cy * 32 + 30 - 9 * k).data(), b);
    }
    root.closeOutputFiles();
    root.levelTree(5, b);
    root.closeOutputFiles();
    EXPECT_LE(t.tree.maxOpenFiles(), LODTree::MaxOpenFiles);
    EXPECT_GT(256, LODTree::MaxOpenFiles);
    EXPECT_EQ(root.getMaxLevel(), 5);
    EXPECT_EQ(root.countPoints(), records);
    const auto files = pointFiles(t.dir.path());
    EXPECT_EQ(files.size(), 256u + 2);
    size_t found = 0;
    for (const auto& [suffix, bytes] : files)
        for (size_t at = 0; at < bytes.size(); at += 20, ++found)
            ASSERT_EQ(quadrantPath(&bytes[at], b, 5), digits(suffix)) << suffix;
    EXPECT_EQ(found, records);
    EXPECT_EQ(files.at("-1-2-2-3-3"), record20(100, 400, 7));
}

// The smallest leaf's width, doubled until the square covers the header's box and the records.
TEST(Partition, SmallestLeafWidthAndTheDoublingOfTheSquare) {
    HandTree t;
    split(split(t.root())->child(3));
    EXPECT_EQ(t.root()->getHighestLeafDimensions({0, 1001, 0, 1001}), 251);
    const TreeBounds square{0, 1000, 0, 1000}, outside{-300, 900, 100, 1900}, line{0, 3, 0, 0};
    EXPECT_EQ(finalTreeBounds(square, nullptr, 250), square); // 250, 500, 1000: not below the extent
    EXPECT_EQ(finalTreeBounds(square, &outside, 250), (TreeBounds{-300, 1700, 0, 2000}));
    EXPECT_EQ(finalTreeBounds({0, 0, 0, 0}, &line, 0), (TreeBounds{0, 4, 0, 4}));
}

// ---- whole builds

// A LasBuilder file with the given positions; the header box is their extent (stored units) unless given.
Bytes lasFile(LasBuilder b, const Cloud& pts, std::optional<std::array<double, 4>> box = {}) {
    b.points = uint32_t(pts.size());
    Bytes out = b.bytes();
    std::array<double, 4> e{0, 0, 0, 0};
    for (size_t i = 0; i < pts.size(); ++i) {
        std::memcpy(&out[b.offsetToPoints() + i * size_t(b.recordLength())], pts[i].data(), 12);
        const double x = pts[i][0], y = pts[i][1];
        e = i ? std::array{std::min(e[0], x), std::max(e[1], x), std::min(e[2], y), std::max(e[3], y)}
              : std::array{x, x, y, y};
    }
    e = box.value_or(e);
    LASHeader h = b.header();
    h.Min_X = e[0] * h.ScaleFactor_X + h.OffsetX, h.Max_X = e[1] * h.ScaleFactor_X + h.OffsetX;
    h.Min_Y = e[2] * h.ScaleFactor_Y + h.OffsetY, h.Max_Y = e[3] * h.ScaleFactor_Y + h.OffsetY;
    h.copyToBuffer(out.data());
    return out;
}

// A dense 4096-unit patch (several levels) and a sparse scatter over 2^20 units with its corners taken.
Cloud clusteredSurvey(uint32_t dense, uint32_t sparse, uint64_t seed) {
    Cloud pts = {{0, 0, 1000}, {(1 << 20) - 1, (1 << 20) - 1, 1000}};
    auto next = [&seed](uint32_t range) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return int32_t((seed >> 33) % range);
    };
    for (uint32_t i = 0; i < dense + sparse; ++i) {
        const bool d = i < dense;
        const int32_t x = d ? 300000 + next(1 << 12) : next(1 << 20),
                      y = d ? 700000 + next(1 << 12) : next(1 << 20);
        pts.push_back({x, y, 1000 + (x + y) / 64 + (d ? next(50) : 0)});
    }
    return pts;
}

void buildTree(const std::string& las, const std::string& dir, TreeBuildControl* control = nullptr) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(las.c_str(), "rb"), std::fclose);
    ASSERT_NE(f, nullptr) << las;
    fs::create_directories(dir);
    partition(f.get(), dir + "/", control);
}

// The build's "header" file: the input before its points, plus the tree-bounds record and grown counts.
Bytes expectedHeaderFile(const Bytes& in, const TreeBounds& b) {
    LASHeader h;
    h.copyFromBuffer(in.data());
    uint64_t end = h.RecordAreaStart();
    for (uint32_t i = 0; i < h.NumberOfVariableLengthRecords; ++i)
        end += 54 + las_detail::loadLE<uint16_t>(&in[end + 20]);
    Bytes quma(86, 0);
    std::memcpy(&quma[2], "QUMA", 4);
    quma[20] = 32;
    std::memcpy(&quma[22], "Quadtree bounds on server", 25);
    std::memcpy(&quma[54], b.data(), 32);
    Bytes out(in.begin(), in.begin() + long(end));
    las_detail::storeLE<uint32_t>(&out[96], h.OffsetToPointData + 86);
    las_detail::storeLE<uint32_t>(&out[100], h.NumberOfVariableLengthRecords + 1);
    out.insert(out.end(), quma.begin(), quma.end());
    out.insert(out.end(), in.begin() + long(end),
               in.begin() + long(std::max<uint64_t>(end, h.OffsetToPointData)));
    return out;
}

// Every input record in exactly one node, in its region and its child's range; file lengths, the header
// file (the bounds read back from it), no leftovers. Returns the node count and depth.
std::pair<size_t, int> expectCompleteTree(const std::string& las, const std::string& dir, uint64_t points) {
    std::pair<size_t, int> shape;
    const auto in = readBytes(las);
    LASHeader h;
    h.copyFromBuffer(in.data());
    EXPECT_EQ(h.NumberOfPointRecords, points) << las;
    const size_t length = h.PointDataRecordLength;
    std::vector<std::string> want, got;
    for (uint64_t i = 0; i < h.NumberOfPointRecords; ++i)
        want.emplace_back(reinterpret_cast<const char*>(&in[h.OffsetToPointData + i * length]), length);
    const TreeBounds b = LODTree::retrieveTreeBounds(dir + "/", nullptr);
    EXPECT_EQ(b[1] - b[0], b[3] - b[2]) << "not a square";
    EXPECT_EQ(readBytes(dir + "/header"), expectedHeaderFile(in, b)) << las;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        std::string suffix = "?";
        for (const char* base : {"points", "normals", "surf", "border"})
            if (name.rfind(base, 0) == 0)
                suffix = name.substr(std::strlen(base));
        const bool isSuffix =
            suffix.size() % 2 == 0 && suffix.find_first_not_of("-1234") == std::string::npos;
        EXPECT_TRUE(name == "header" || (isSuffix && fs::exists(dir + "/points" + suffix)))
            << "leftover " << name;
        if (!isSuffix || name.rfind("points", 0) != 0)
            continue;
        const auto bytes = readBytes(e.path().string());
        const uint32_t n = bytes.size() < 26 ? 0 : las_detail::loadLE<uint32_t>(&bytes[0]);
        if (n == 0 || bytes.size() != 26 + uint64_t(n) * length)
            return ADD_FAILURE() << name << ": " << bytes.size() << " bytes for " << n << " records", shape;
        EXPECT_EQ((std::array{fs::file_size(dir + "/normals" + suffix), fs::file_size(dir + "/surf" + suffix),
                              fs::file_size(dir + "/border" + suffix)}),
                  (std::array<uintmax_t, 3>{12ull * n, 4ull * n, n}))
            << name;
        const std::string path = digits(suffix);
        const bool subNodes = bytes[24];
        shape = {shape.first + 1, std::max(shape.second, int(path.size()))};
        uint32_t starts[5] = {0, 0, 0, 0, n};
        for (int k = 1; k <= 3; ++k)
            starts[k] = subNodes ? las_detail::loadLE<uint32_t>(&bytes[4 * k]) : 0;
        EXPECT_TRUE(subNodes ? std::is_sorted(starts, starts + 5)
                             : std::equal(&bytes[4], &bytes[16], Bytes(12).data()))
            << name;
        for (int k = 1; k <= 4; ++k)
            for (uint32_t i = subNodes ? starts[k - 1] : 0; i < (subNodes ? starts[k]
                                                                 : k == 1 ? n
                                                                          : 0);
                 ++i) {
                const unsigned char* r = &bytes[26 + i * length];
                const std::string route = quadrantPath(r, b, int(path.size()) + 1);
                if (route.substr(0, path.size()) != path || (subNodes && route.back() != char('0' + k)))
                    return ADD_FAILURE() << name << ": record " << i << " outside its node or child " << k,
                           shape;
                got.emplace_back(reinterpret_cast<const char*>(r), length);
            }
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_TRUE(got == want) << "the nodes do not hold exactly the input's records: " << got.size() << " of "
                             << want.size();
    return shape;
}

// Every format, real files' quirks (the bounds record behind extra header bytes), identical points, one point
// and none: every record in one node.
TEST(Build, EveryRecordInExactlyOneNodeForEveryFormatAndHostileInput) {
    TempDir dir;
    struct Case {
        std::string name;
        LasBuilder in;
        Cloud points;
        int nodes = -1, minDepth = 0; // nodes -1: any
        std::optional<std::array<double, 4>> box = {};
    };
    auto format = [](int f) { return LasBuilder{.format = f, .vlrLengths = {}}; };
    // clang-format off
    const Case cases[] = {
        {"format 0", format(0), clusteredSurvey(40, 40, 0), 1},
        {"format 3", format(3), clusteredSurvey(40, 40, 3), 1},
        {"format 1, several levels", {.extraPerPoint = 8, .headerExtra = 13, .gap = 2, .vlrLengths = {40, 0, 7}},
         clusteredSurvey(MAX_LEAF_POINTS + 200, 60, 17), -1, 5, std::array<double, 4>{400000, 500000, 300000, 400000}},
        {"identical points", {}, Cloud(50000, Point{123456, -98765, 42}), 1},
        {"one point", {}, {{-5, 7, 9}}, 1},
        {"no points", {}, {}, 0}};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string las = dir.file(c.name + ".las"), tree = dir.file(c.name);
        writeBytes(las, lasFile(c.in, c.points, c.box));
        TreeBuildControl control;
        buildTree(las, tree, &control);
        const auto [nodes, depth] = expectCompleteTree(las, tree, c.points.size());
        EXPECT_TRUE(c.nodes < 0 || nodes == size_t(c.nodes)) << nodes;
        EXPECT_GE(depth, c.minDepth);
        EXPECT_EQ(control.pointsRead, c.points.size());
        EXPECT_LE(control.maxOpenFiles, LODTree::MaxOpenFiles);
    }
}

TEST(Build, RealSamplesHoldEveryRecordInExactlyOneNode) {
    const auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples under " << PONTARO_DATA_DIR << "/las";
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        TempDir dir;
        buildTree(s.path, dir.file("tree"));
        expectCompleteTree(s.path, dir.file("tree"), s.points);
    }
}

// Unreadable inputs and a missing output directory are refused naming the file; the tree bounds are never
// guessed: no "header", one without the bounds record (the input's own) and one cut short are refused.
TEST(Build, RefusesInputsItCannotReadNamingTheFile) {
    TempDir dir;
    const auto bytes = lasFile({}, clusteredSurvey(0, 20, 3));
    std::vector<std::pair<Bytes, const char*>> cases(4, {bytes, ""});
    cases[0].first[0] = 'X', cases[0].second = "not a LAS file";
    cases[1].first[104] = 4, cases[1].second = "unknown point data format";
    las_detail::storeLE<uint16_t>(&cases[2].first[105], 27), cases[2].second = "shorter than";
    cases[3].first.resize(bytes.size() - 5), cases[3].second = "truncated";
    for (const auto& [input, message] : cases) {
        const std::string las = dir.file(std::string(message) + ".las"), out = dir.file(message);
        writeBytes(las, input);
        EXPECT_TRUE(throwsNaming([&] { buildTree(las, out); }, {message, las}));
        EXPECT_FALSE(fs::exists(out + "/header")) << message;
    }
    const std::string las = dir.file("good.las"), tree = dir.file("tree") + "/";
    writeBytes(las, bytes);
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(las.c_str(), "rb"), std::fclose);
    EXPECT_TRUE(throwsNaming([&] { partition(f.get(), dir.file("missing") + "/"); },
                             {dir.file("missing") + "/points"}));
    buildTree(las, tree);
    const Bytes header = readBytes(tree + "header");
    for (const Bytes& h : {Bytes(header.begin(), header.end() - 20), bytes, Bytes{}}) {
        writeBytes(tree + "header", h);
        if (h.empty())
            fs::remove(tree + "header");
        EXPECT_THROW(LODTree::retrieveTreeBounds(tree, nullptr), TreeBuildError) << h.size();
    }
}

// ---- node simplification: which points stay, which move up, the node header, missing files

std::array<std::string, 4> files(const LODTreeNode* n) {
    return {n->getPointPath(), n->getNormalPath(), n->getSurfPath(), n->getBorderPath()};
}

// Entry `id` of the four parallel files (record, normal, surface identifier, border), all bytes id-derived so
// that mixed or misaligned entries show.
std::array<Bytes, 4> entry(int length, int32_t id) {
    std::array<Bytes, 4> e{Bytes(size_t(length)), Bytes(12), Bytes(4), Bytes{uint8_t(id % 2)}};
    for (int i = 12; i < length; ++i)
        e[0][size_t(i)] = uint8_t(id * 7 + i);
    const int32_t xyz[3] = {10 + id % 500, 20 + id % 500, id};
    const float normal[3] = {float(id), id + 0.5f, -float(id)};
    const uint32_t surf = uint32_t(id) * 3 + 1;
    std::memcpy(e[0].data(), xyz, 12), std::memcpy(e[1].data(), normal, 12),
        std::memcpy(e[2].data(), &surf, 4);
    return e;
}

// A levelled leaf as the earlier stages leave it: points, normals, surface identifiers, borders.
void fillLeaf(LODTreeNode* n, int count, int32_t firstId, float coverage = 0.5f) {
    std::array<Bytes, 4> side;
    for (int i = 0; i < count; ++i) {
        const auto e = entry(n->tree->recordLength, firstId + i);
        n->partitionPoint(e[0].data(), TreeBounds{0, 1024, 0, 1024});
        for (int k = 1; k < 4; ++k)
            side[k].insert(side[k].end(), e[k].begin(), e[k].end());
    }
    n->closeOutputFiles();
    n->coverage = coverage;
    for (int k = 1; k < 4; ++k)
        writeBytes(files(n)[k], side[k]);
}

// The node's header (count, offsets of quadrants 2 to 4, sub-node bits, coverage, radius) and the ids of its
// records, the four files checked whole against entry(id) of each.
struct NodeOnDisk {
    std::array<uint32_t, 5> offsets;
    float coverage, radius;
    std::vector<int32_t> ids;
};
NodeOnDisk readNode(const LODTreeNode* node) {
    const size_t length = size_t(node->tree->recordLength);
    const Bytes b = readBytes(node->getPointPath());
    if (b.size() < 26)
        return ADD_FAILURE() << node->getPointPath() << " has no header", NodeOnDisk{};
    auto word = [&](size_t at) { return las_detail::loadLE<uint32_t>(&b[at]); };
    NodeOnDisk out{{word(0), word(4), word(8), word(12), b[24]},
                   std::bit_cast<float>(word(16)),
                   std::bit_cast<float>(word(20)),
                   {}};
    std::array<Bytes, 4> want{Bytes(b.begin(), b.begin() + 26)};
    for (size_t rec = 26; rec + length <= b.size(); rec += length) {
        const auto e = entry(int(length), out.ids.emplace_back(las_detail::loadLE<int32_t>(&b[rec + 8])));
        for (size_t k = 0; k < 4; ++k)
            want[k].insert(want[k].end(), e[k].begin(), e[k].end());
    }
    EXPECT_EQ(out.ids.size(), out.offsets[0]) << node->getPointPath();
    for (int k = 0; k < 4; ++k)
        EXPECT_TRUE(readBytes(files(node)[k]) == want[k]) << files(node)[k];
    return out;
}

// A leaf passes up every fourth point and keeps the rest; inner nodes do the same with what came up, children
// get a quarter of the area, the root keeps all, empty nodes leave no files; radius 1.2 sqrt(area cov / 2n).
TEST(Simplification, WholeTreeFromTheRoot) {
    HandTree t(1);
    LODTreeNode *root = t.root(), *inner = split(root->child(1)), *barren = split(root->child(4));
    root->coverage = inner->coverage = barren->coverage = 0.5f;
    fillLeaf(inner->child(1), 9, 100); // passes up 3, child 2 nothing, child 3 5, child 4 2
    fillLeaf(inner->child(3), 17, 300);
    fillLeaf(inner->child(4), 5, 400);
    fillLeaf(root->child(2), 1, 7);
    fillLeaf(root->child(3), 10, 0, 0.25f);
    writeBytes(barren->child(1)->getPointPath(), Bytes(40, 1));
    EXPECT_EQ(root->simplify<LASPoint0>(nullptr, nullptr, nullptr, nullptr, 1600), 7u);
    const NodeOnDisk top = readNode(root), in = readNode(inner), leaf = readNode(root->child(3)),
                     fourth = readNode(inner->child(4));
    EXPECT_EQ(top.ids, (std::vector<int32_t>{100, 304, 400, 7, 0, 4, 8}));
    EXPECT_EQ(top.offsets, (std::array<uint32_t, 5>{7, 3, 4, 7, 15}));
    EXPECT_EQ(in.ids, (std::vector<int32_t>{104, 108, 300, 308, 312, 316, 404}));
    EXPECT_EQ(in.offsets, (std::array<uint32_t, 5>{7, 2, 2, 6, 15}));
    EXPECT_FLOAT_EQ(in.radius, 1.2f * std::sqrt(400 * 0.5f / 20));
    EXPECT_EQ(fourth.ids, (std::vector<int32_t>{401, 402, 403}));
    EXPECT_FLOAT_EQ(fourth.radius, 1.2f * std::sqrt(100 * 0.5f / 10));
    EXPECT_EQ(leaf.ids, (std::vector<int32_t>{1, 2, 3, 5, 6, 7, 9}));
    EXPECT_EQ(leaf.offsets, (std::array<uint32_t, 5>{7, 0, 0, 0, 0}));
    EXPECT_EQ(leaf.coverage, 0.25f);
    EXPECT_FLOAT_EQ(leaf.radius, 1.2f * std::sqrt(400 * 0.25f / 20));
    EXPECT_EQ(barren->defaultSplatRadius, 0.0f); // not a division by zero
    for (LODTreeNode* n : {inner->child(2), root->child(2), barren, barren->child(1)})
        for (const std::string& p : files(n))
            EXPECT_FALSE(fs::exists(p)) << p;
    for (const auto& e : fs::directory_iterator(t.dir.path())) // no temporary or neighbour files left
        EXPECT_TRUE(e.path().filename().string().find("temp") == std::string::npos &&
                    e.path().filename().string().rfind("knnInt", 0) != 0)
            << e.path();
}

// A missing or short side file or an unwritable temporary ends the build naming it, keeping the points.
TEST(Simplification, MissingOrShortFilesEndTheBuildNamingTheFile) {
    HandTree t(1), single;
    LODTreeNode* top = t.root();
    for (int q = 1; q <= 3; ++q)
        fillLeaf(top->child(q), 10, 0);
    fs::remove(top->child(1)->getNormalPath());
    writeBytes(top->child(2)->getBorderPath(), readBytes(top->child(2)->getBorderPath()), 9);
    fs::create_directory(top->child(3)->getSurfPath() + "temp");
    fillLeaf(single.root(), 3, 0);
    fs::remove(single.root()->getSurfPath());
    const std::pair<LODTreeNode*, const char*> cases[] = {{top->child(1), "normals-1"},
                                                          {top->child(2), "border-2"},
                                                          {top->child(3), "surf-3temp"},
                                                          {single.root(), "surf"}};
    for (const auto& [n, name] : cases) {
        const bool root = n == single.root();
        std::array<FILE*, 4> parent{}; // what a parent hands its children; nothing for the root
        for (FILE*& f : parent)
            f = root ? nullptr : std::tmpfile();
        EXPECT_TRUE(throwsNaming(
            [&] { n->simplify<LASPoint0>(parent[0], parent[1], parent[2], parent[3], 4); }, {name}));
        EXPECT_TRUE(root || readBytes(n->getPointPath()).size() == 10u * 20) << name << ": points lost";
        for (FILE* f : parent)
            if (f)
                std::fclose(f);
    }
}

// ---- nearest neighbours, normals and border marks

struct Knn {
    std::vector<KnnDistance> d;
    std::vector<uint32_t> i;
};

Knn search(bool indexed, const Cloud& ref, const Cloud& query, int dims, int k) {
    Knn r{std::vector<KnnDistance>(query.size() * size_t(k)),
          std::vector<uint32_t>(query.size() * size_t(k))};
    auto packed = [dims](const Cloud& c) { // dimension-major
        std::vector<int32_t> out(c.size() * size_t(dims));
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = c[i % c.size()][i / c.size()];
        return out;
    };
    const auto a = packed(ref), b = packed(query);
    (indexed ? knnIntIndexed : knnIntNoCuda)(a.data(), int(ref.size()), b.data(), int(query.size()), dims, k,
                                             r.d.data(), r.i.data());
    return r;
}

void expectIndexedEqualsBruteForce(const Cloud& ref, const Cloud& query, int k) {
    for (int dims : {2, 3}) {
        SCOPED_TRACE("dimensions " + std::to_string(dims) + ", k " + std::to_string(k));
        const Knn brute = search(false, ref, query, dims, k), indexed = search(true, ref, query, dims, k);
        EXPECT_EQ(indexed.d, brute.d);
        EXPECT_EQ(indexed.i, brute.i);
    }
}

uint64_t dist2(const Point& a, const Point& b) {
    uint64_t s = 0;
    for (size_t d = 0; d < 3; ++d)
        s += uint64_t((int64_t(a[d]) - b[d]) * (int64_t(a[d]) - b[d]));
    return s;
}

Cloud randomCloud(size_t n, int64_t lo, int64_t hi, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int64_t> u(lo, hi);
    Cloud c(n);
    for (Point& p : c)
        p = {int32_t(u(rng)), int32_t(u(rng)), int32_t(u(rng))};
    return c;
}

TEST(NearestNeighbours, BruteForceIsExactIn64BitsWithTiesInReferenceOrder) {
    // 50,000^2 overflows 32 bits: the nearer 40,000 must come first, with exact distances.
    Knn r = search(false, {{50000, 0, 0}, {40000, 0, 0}}, {{0, 0, 0}}, 3, 2);
    EXPECT_EQ(r.i, (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(r.d, (std::vector<KnnDistance>{1600000000ull, 2500000000ull}));
    // Ties keep reference order after the point itself; k beyond the count pads with UINT64_MAX and index 0.
    r = search(false, {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 0}}, {{0, 0, 0}}, 2, 7);
    EXPECT_EQ(r.i, (std::vector<uint32_t>{5, 1, 2, 3, 4, 0, 0}));
    EXPECT_EQ(r.d, (std::vector<KnnDistance>{0, 1, 1, 1, 1, UINT64_MAX, UINT64_MAX}));
}

TEST(NearestNeighbours, IndexedSearchGivesTheBruteForceListsOnSyntheticSets) {
    Cloud lattice; // a plane lattice twice over: equal distances everywhere
    for (int i = 0; i < 400; ++i)
        lattice.push_back({i / 40 * 2, i / 4 % 10 * 2, i % 4});
    std::vector<std::pair<std::string, Cloud>> sets{
        {"wide", randomCloud(800, -300000, 300000, 1)}, // differences far above 46,341
        {"lattice", lattice},
        {"extreme", randomCloud(600, INT32_MIN, INT32_MAX, 3)}}; // sums saturate
    for (const SampleFile& s : manifestSamples("las")) {         // the first 400 records of each real sample
        const auto in = readBytes(s.path);
        LASHeader h;
        h.copyFromBuffer(in.data());
        Cloud& c = sets.emplace_back(s.name, Cloud(std::min<size_t>(h.NumberOfPointRecords, 400))).second;
        for (size_t i = 0; i < c.size(); ++i)
            std::memcpy(c[i].data(), &in.at(h.OffsetToPointData + i * h.PointDataRecordLength), 12);
    }
    for (const auto& [name, cloud] : sets) {
        SCOPED_TRACE(name);
        expectIndexedEqualsBruteForce(cloud, cloud, 101);
    }
    // Queries that are not references, some far outside the references' box; k above the count.
    expectIndexedEqualsBruteForce(lattice, randomCloud(200, -100, 100, 5), 40);
}

// 20,000 points at one position (400 million distances for a full scan) stay near linear.
TEST(NearestNeighbours, DegenerateSetsStayNearLinear) {
    const Cloud same(20000, Point{7, -7, 7});
    const Knn r = search(true, same, same, 3, 101);
    for (size_t q : {0, 13337, 19999})
        for (size_t j = 0; j < 101; ++j) // by the tie rule every list is the first 101 indices
            ASSERT_EQ(std::pair(r.i[j * same.size() + q], r.d[j * same.size() + q]),
                      std::pair(uint32_t(j + 1), KnnDistance(0)));
}

template <class T> std::vector<T> entries(const std::string& path) {
    const auto b = readBytes(path);
    std::vector<T> out(b.size() / sizeof(T));
    std::memcpy(out.data(), b.data(), out.size() * sizeof(T));
    return out;
}

// Reference lists: own points then each neighbour's in join order (sides R, L, U, D; corners UR, DR, UL, DL),
// stably sorted by exact distance, at most 101. Compares the file with them and returns them.
std::vector<std::vector<uint32_t>> expectListsMatch(HandTree& t, LODTreeNode* leaf, const std::string& path,
                                                    bool flat) {
    std::vector<std::pair<uint32_t, const Cloud*>> sources{{0, &t.points[leaf]}};
    for (uint32_t m :
         {KNN_RIGHT, KNN_LEFT, KNN_UP, KNN_DOWN, KNN_UP_RIGHT, KNN_DOWN_RIGHT, KNN_UP_LEFT, KNN_DOWN_LEFT})
        if (LODTreeNode* n = t.root()->getSubNodeFromRoot(leaf->id.getNeighbourID(m), false);
            n && n->numPoints > 0)
            sources.push_back({m, &t.points[n]});
    std::vector<std::vector<uint32_t>> want;
    std::vector<uint32_t> flatWant;
    for (Point p : t.points[leaf]) {
        p[2] = flat ? 0 : p[2];
        // (distance, place in the concatenation, entry): sorting the triples is the stable sort.
        std::vector<std::tuple<uint64_t, uint32_t, uint32_t>> all;
        for (const auto& [marker, cloud] : sources)
            for (size_t i = 0; i < cloud->size(); ++i) {
                Point q = (*cloud)[i];
                q[2] = flat ? 0 : q[2];
                all.emplace_back(dist2(p, q), uint32_t(all.size()), uint32_t(i) | marker);
            }
        const size_t kept = std::min<size_t>(all.size(), 101);
        std::partial_sort(all.begin(), all.begin() + std::ptrdiff_t(kept), all.end());
        auto& list = want.emplace_back();
        for (size_t j = 1; j < kept; ++j)
            list.push_back(std::get<2>(all[j]));
        flatWant.insert(flatWant.end(), list.begin(), list.end());
    }
    EXPECT_TRUE(entries<uint32_t>(path) == flatWant) << path << ": the lists differ";
    return want;
}

// Lists join the neighbours: random points 90,000 apart (32-bit squares overflow), a lattice (ties across
// borders), a leaf of 50 points, an empty one. A border point's list reaches another node.
TEST(NodeNeighbours, ListsAreThoseOfTheNodeAndItsNeighboursTogether) {
    for (bool lattice : {false, true}) {
        SCOPED_TRACE(lattice ? "lattice" : "random");
        HandTree t(2);
        const int w = lattice ? 11 : 1000000;
        t.fillLeaves(w, [&](int x0, int y0, int leaf) {
            Cloud c;
            for (int i = 0; lattice && i < w * w; ++i)
                c.push_back({x0 + i / w, y0 + i % w, (i / w * (i % w) + leaf) % 3});
            for (Point p : lattice ? Cloud{} : randomCloud(115, 0, w - 1, unsigned(leaf)))
                c.push_back({x0 + p[0], y0 + p[1], p[2] / 4});
            c.resize(leaf == 5 ? 50 : leaf == 10 ? 0 : c.size());
            return c;
        });
        t.knn();
        t.root()->markBorderPoints();
        int borders = 0;
        for (auto& [leaf, cloud] : t.points) {
            auto* node = const_cast<LODTreeNode*>(leaf);
            if (cloud.empty()) {
                EXPECT_FALSE(fs::exists(leaf->getKnnPath()));
                continue;
            }
            const auto want = expectListsMatch(t, node, node->getKnnPath(), false);
            const auto border = readBytes(node->getBorderPath());
            ASSERT_EQ(border.size(), cloud.size());
            for (size_t p = 0; p < cloud.size(); ++p) {
                EXPECT_EQ(border[p], std::any_of(want[p].begin(), want[p].end(), isKNNmarked) ? 1 : 0);
                borders += border[p];
            }
        }
        EXPECT_GT(borders, 0);
    }
    // A two-dimensional list goes to its own file.
    HandTree single;
    single.setPoints(single.root(), randomCloud(300, 0, 500, 9));
    single.knn(true);
    EXPECT_FALSE(fs::exists(single.root()->getKnnPath()));
    expectListsMatch(single, single.root(), single.root()->getKnn2DPath(), true);
}

// Distance from point p of the cloud to its 10th nearest other point.
double tenthNearest(const Cloud& c, size_t p) {
    std::vector<uint64_t> d;
    for (size_t i = 0; i < c.size(); ++i)
        if (i != p)
            d.push_back(dist2(c[p], c[i]));
    std::nth_element(d.begin(), d.begin() + 9, d.end());
    return std::sqrt(double(d[9]));
}

// The normal at n is `dir` scaled to `length` (the length of n itself when 0).
void expectNormal(const float* n, std::array<double, 3> dir, double length, const std::string& what) {
    const double dl = std::hypot(dir[0], dir[1], dir[2]);
    length = length ? length : std::hypot(n[0], n[1], n[2]);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(n[i], dir[i] / dl * length, 1e-4 * length) << what << " component " << i;
}

// Normals point up, scaled by the 10th neighbour distance: a tilted plane over four leaves, and a leaf with k
// = 50 whose two far patches show a list read from the wrong place.
TEST(NodeNormals, PlanesGiveUpwardNormalsScaledByTheTenthNeighbour) {
    HandTree t(1), one;
    for (int q = 1; q <= 4; ++q) {
        const NodeID id = t.root()->child(q)->id;
        Cloud c;
        for (int i = 0; i < 144; ++i) {
            const int gi = id.x * 12 + i / 12, gj = id.y * 12 + i % 12;
            c.push_back({10 * gi, 10 * gj, 5 * gi + 2 * gj}); // z = 0.5 x + 0.2 y
        }
        t.setPoints(t.root()->child(q), c);
    }
    Cloud c;
    for (int i = 0; i < 25; ++i)
        c.insert(c.end(), {{i / 5, i % 5, 0}, {100000 + i / 5, i % 5, i / 5}});
    one.setPoints(one.root(), c);
    for (HandTree* h : {&t, &one}) {
        h->knn();
        h->root()->calculateNormals(h->root());
        EXPECT_EQ(h->control.zeroNormals, 0u);
    }
    for (int q = 1; q <= 4; ++q) {
        const auto n = entries<float>(t.root()->child(q)->getNormalPath());
        ASSERT_EQ(n.size(), 144u * 3);
        for (size_t p = 0; p < 144; ++p) {
            ASSERT_GT(std::hypot(n[3 * p], n[3 * p + 1], n[3 * p + 2]), 10.0);
            expectNormal(&n[3 * p], {-0.5, -0.2, 1}, 0, "leaf " + std::to_string(q));
        }
    }
    EXPECT_EQ(readBytes(one.root()->getKnnPath()).size(), 50u * 49 * 4); // k = 50
    const auto n = entries<float>(one.root()->getNormalPath());
    ASSERT_EQ(n.size(), 3 * c.size());
    for (size_t p = 0; p < c.size(); ++p)
        expectNormal(&n[3 * p], p % 2 ? std::array<double, 3>{-1, 0, 1} : std::array<double, 3>{0, 0, 1},
                     tenthNearest(c, p), "point " + std::to_string(p));
}

// Too few or degenerate neighbours give counted zero normals; a missing or partial list file stops the stage.
TEST(NodeNormals, TooFewOrDegenerateNeighboursGiveCountedZeroNormals) {
    for (const Cloud& c : {Cloud{{0, 0, 0}, {5, 0, 0}, {0, 5, 1}},
                           Cloud{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {5, 5, 5}}}) {
        HandTree t;
        t.setPoints(t.root(), c);
        t.knn();
        t.root()->calculateNormals(t.root());
        EXPECT_EQ(entries<float>(t.root()->getNormalPath()), std::vector<float>(c.size() * 3, 0.0f));
        EXPECT_EQ(t.control.zeroNormals, c.size());
    }
    HandTree t;
    t.setPoints(t.root(), {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 1}});
    EXPECT_THROW(t.root()->calculateNormals(t.root()), TreeBuildError);
    writeBytes(t.root()->getKnnPath(), Bytes(4 * 4 * 2 + 4, 0));
    EXPECT_THROW(t.root()->calculateNormals(t.root()), TreeBuildError);
    EXPECT_THROW(t.root()->markBorderPoints(), TreeBuildError);
}

} // namespace
