// pontaro-classify run as a user runs it: real samples and their LAS copies, local trees (hand-made and built
// by pontaro-tree), the cache, and refusals.
#include "SurfaceOutput.h"
#include "ToolRun.h"
#include "classification/ClassificationFixtures.h"

#include <cstring>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Little-endian int32 surface numbers from `skip` bytes on.
std::vector<int32_t> int32s(const std::string& path, size_t skip = 0) {
    const auto b = readBytes(path);
    std::vector<int32_t> c((b.size() - skip) / 4);
    std::memcpy(c.data(), b.data() + skip, 4 * c.size());
    return c;
}

// The "surface N: P points, mean normal X Y Z" lines; normals are unit and face up.
std::map<int32_t, uint64_t> printedSurfaces(const ProcessResult& r) {
    std::map<int32_t, uint64_t> s;
    std::istringstream in(r.out);
    std::string line;
    int32_t n;
    unsigned long long p;
    double x, y, z;
    while (std::getline(in, line))
        if (std::sscanf(line.c_str(), "surface %d: %llu points, mean normal %lf %lf %lf", &n, &p, &x, &y,
                        &z) == 5) {
            s[n] = p;
            EXPECT_NEAR(x * x + y * y + z * z, 1.0, 0.01) << line;
            EXPECT_GE(z, 0.0) << line;
        }
    return s;
}

// The Point Source IDs of the records, taken out of the bytes (left 0).
std::vector<uint16_t> takeSourceIds(LasBytes& f) {
    std::vector<uint16_t> ids(f.complete() ? f.h.NumberOfPointRecords : 0);
    EXPECT_TRUE(f.complete());
    for (size_t i = 0; i < ids.size(); ++i) {
        std::memcpy(&ids[i], f.record(i) + 18, 2);
        std::memset(f.record(i) + 18, 0, 2);
    }
    return ids;
}

std::vector<uint16_t> idsFor(const std::vector<int32_t>& classes) {
    std::vector<uint16_t> ids;
    for (int32_t c : classes)
        ids.push_back(pointSourceIdForSurface(c));
    return ids;
}

// Output, class file and printed summary agree with each other on every small sample.
TEST(ClassifyTool, RealSamplesEndToEnd) {
    const auto samples = smallSamples();
    if (samples.empty())
        GTEST_SKIP() << "no real samples in " << PONTARO_DATA_DIR << "/las (see README: Real samples)";
    for (const SampleFile& s : samples) {
        SCOPED_TRACE(s.name);
        TempDir dir;
        const std::string out = dir.file("out.las"), classes = dir.file("out.classes");
        const ProcessResult r =
            classifyTool({s.path, out, "--classes", classes, "--cache", dir.path().string()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(printed(r, "points read"), s.points);
        const auto c = int32s(classes, 4);
        ASSERT_EQ(c.size(), s.points);
        LasBytes in(s.path), copy(out); // the input byte for byte but for the Point Source IDs
        EXPECT_EQ(takeSourceIds(copy), idsFor(c));
        takeSourceIds(in);
        EXPECT_TRUE(copy.bytes == in.bytes) << "the output differs beyond the Point Source IDs";
        const int32_t surfaces = c.empty() ? 0 : *std::max_element(c.begin(), c.end());
        EXPECT_EQ(printed(r, "surfaces"), surfaces);
        EXPECT_EQ(printed(r, "points classified"),
                  double(c.size() - size_t(std::count(c.begin(), c.end(), 0))));
        const auto listed = printedSurfaces(r);
        EXPECT_EQ(listed.size(), std::min<size_t>(10, size_t(surfaces)));
        for (auto [n, p] : listed)
            EXPECT_EQ(p, uint64_t(std::count(c.begin(), c.end(), n))) << "surface " << n;
        EXPECT_TRUE(s.points <= 1000 || surfaces > 0) << "a survey of ground and roofs has surfaces";
        EXPECT_EQ(dir.entryCount(), 3u) << "output, class file and cache, nothing else";
    }
}

// Cached or not, on any number of threads, the same bytes; other thresholds, another cache.
TEST(ClassifyTool, CacheThreadsAndRepeatedRunsGiveTheSameBytes) {
    const SampleFile s = sampleNamed("mvk-thin.las");
    if (s.path.empty())
        GTEST_SKIP() << "mvk-thin.las is not in " << PONTARO_DATA_DIR << "/las";
    TempDir dir;
    const std::string cache = dir.file("cache");
    fs::create_directory(cache);
    auto a = classifyTool.ok({s.path, dir.file("a.las"), "--cache", cache, "--threads", "1"});
    EXPECT_EQ(a.err.find("from the cache"), std::string::npos);
    EXPECT_TRUE(fs::exists(cache + "/mvk-thin_compNeighbours15-0.25"));
    auto b = classifyTool.ok({s.path, dir.file("b.las"), "--cache", cache, "--threads", "2"});
    EXPECT_NE(b.err.find("compatible neighbours: from the cache"), std::string::npos) << b.err;
    auto c = classifyTool.ok({s.path, dir.file("c.las"), "--no-cache", "--threads", "3"});
    EXPECT_EQ(readBytes(dir.file("a.las")), readBytes(dir.file("b.las")));
    EXPECT_EQ(readBytes(dir.file("a.las")), readBytes(dir.file("c.las")));
    EXPECT_EQ(a.out, c.out);
    auto d =
        classifyTool({s.path, dir.file("d.las"), "--cache", cache, "--angle", "7.5", "--distance", "0.1"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_TRUE(fs::exists(cache + "/mvk-thin_compNeighbours7.5-0.1"));
    EXPECT_NE(readBytes(dir.file("a.las")), readBytes(dir.file("d.las")));
}

// A local tree gets surf files holding the classes node by node, its cache beside it, not in it.
TEST(ClassifyTool, HandMadeTreeGetsItsSurfaceFiles) {
    TempDir dir;
    const Scene s = smallSettlement();
    const size_t n = s.positions.size(), third = n / 3;
    const std::string tree = dir.file("tree"), out = dir.file("tree.las");
    fs::create_directory(tree);
    writeTree(tree, s, {{"", 0, third}, {"-2", third, 2 * third}, {"-2-4", 2 * third, n}});
    const ProcessResult r = classifyTool.ok({tree, out, "--classes", dir.file("tree.classes")});
    EXPECT_EQ(printed(r, "points read"), n);
    EXPECT_GE(printed(r, "surfaces"), 3);
    EXPECT_TRUE(fs::exists(dir.file("tree_compNeighbours15-0.25")));
    const auto classes = int32s(dir.file("tree.classes"), 4);
    std::vector<int32_t> surf;
    for (const char* suffix : {"", "-2", "-2-4"}) {
        const auto node = int32s(tree + "/surf" + suffix);
        surf.insert(surf.end(), node.begin(), node.end());
    }
    EXPECT_EQ(surf, classes);
    LasBytes las(out);
    EXPECT_EQ(takeSourceIds(las), idsFor(classes));
    EXPECT_GT(score(s.labels, classes).purity, 0.95);
}

// A tree from pontaro-tree: its surf files hold every point, the classified ones as reported, and the
// tree stays complete.
TEST(ClassifyTool, TreeBuiltByPontaroTree) {
    const SampleFile s = sampleNamed("warsaw_small.las");
    if (s.path.empty())
        GTEST_SKIP() << "warsaw_small.las is not in " << PONTARO_DATA_DIR << "/las";
    TempDir dir;
    const std::string tree = dir.file("tree");
    auto built = treeTool.ok({"build", s.path, tree});
    const ProcessResult r = classifyTool.ok({tree, dir.file("out.las"), "--no-cache"});
    EXPECT_EQ(printed(r, "points read"), s.points);
    EXPECT_GT(printed(r, "surfaces"), 0);
    auto info = treeTool.ok({"info", tree});
    EXPECT_NE(info.out.find("check: complete"), std::string::npos) << "the surf files keep the tree complete";
    uint64_t classified = 0, total = 0;
    for (const auto& e : fs::directory_iterator(tree))
        if (e.path().filename().string().rfind("surf", 0) == 0)
            for (int32_t c : int32s(e.path().string()))
                ++total, classified += c != 0;
    EXPECT_EQ(total, s.points);
    EXPECT_EQ(classified, printed(r, "points classified"));
    EXPECT_EQ(LasBytes(dir.file("out.las")).h.NumberOfPointRecords, s.points);
}

// Bad options (out of range either way) and bad files: one line, no output, the input untouched.
TEST(ClassifyTool, Refusals) {
    TempDir dir;
    const std::string las = dir.file("in.las"), o = dir.file("o.las"), empty = dir.file("empty");
    writeLas(las, smallSettlement(), 1);
    const auto bytes = readBytes(las);
    writeBytes(dir.file("short.las"), bytes, bytes.size() - 10);
    fs::create_directory(empty);
    auto help = classifyTool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: pontaro-classify IN OUT.las"), std::string::npos);
    EXPECT_EQ(classifyTool({}).status, 2);
    std::vector<Refusal> cases = {
        {{las}, 2, "expected IN and OUT.las"},
        {{las, o, "--distance", "1.5"}, 2, "--distance must be a number above 0 and at most 1, not '1.5'"},
        {{las, o, "--distance", "0"}, 2, "--distance"},
        {{las, o, "--secondary-angle", "90.5"}, 2, "--secondary-angle"},
        {{las, o, "--global-angle"}, 2, "needs a value"},
        {{las, o, "--threads", "0"}, 2, "--threads must be a whole number from 1 to 256, not '0'"},
        {{las, o, "--threads", "257"}, 2, "not '257'"},
        {{las, o, "--frobnicate"}, 2, "unknown option"},
        {{las, o, "--no-cache", "--cache", "x"}, 2, "exclude"},
        {{dir.file("missing.las"), o}, 1, "missing.las"},
        {{las, dir.file("no/such/dir/o.las")}, 1, "no directory"},
        {{las, las}, 1, "replace the input"},
        {{las, o, "--classes", o}, 1, "name the same file"},
        {{dir.file("short.las"), o}, 1, "truncated"},
        {{empty, o}, 1, "local tree directory"}};
    for (const char* v : {"0", "91", "abc", "nan", "-5", "10x"})
        cases.push_back({{las, o, "--angle", v}, 2, "--angle must be a number above 0 and at most 90"});
    classifyTool.refuses(cases);
    EXPECT_FALSE(fs::exists(o)) << "no output from a refused run";
    EXPECT_EQ(readBytes(las), bytes) << "the input is untouched";
}

} // namespace
