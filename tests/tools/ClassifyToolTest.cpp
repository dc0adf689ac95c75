// pontaro-classify run as a user runs it: real samples and their LAS copies read back with the project's
// reader, local trees (hand-made and built by pontaro-tree), the cache, and refusals.
#include "CLASFile.h"
#include "SurfaceOutput.h"
#include "TestConfig.h"
#include "classification/ClassificationFixtures.h"
#include "support/RunProcess.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::string kClassify = std::string(PONTARO_BIN_DIR) + "/pontaro-classify";
const std::string kTree = std::string(PONTARO_BIN_DIR) + "/pontaro-tree";

ProcessResult classify(std::vector<std::string> args) {
    args.insert(args.begin(), kClassify);
    return runProcess(args);
}

uint64_t printed(const ProcessResult& r, const std::string& label) {
    const std::string text = "\n" + r.out, key = "\n" + label + ": ";
    const size_t at = text.find(key);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no '" << label << "' in\n" << r.out;
        return 0;
    }
    return std::stoull(text.substr(at + key.size()));
}

std::vector<int32_t> readClassFile(const std::string& path) {
    const auto b = readBytes(path);
    std::vector<int32_t> c((b.size() - 4) / 4);
    std::memcpy(c.data(), b.data() + 4, 4 * c.size());
    return c;
}

// The "surface N: P points, mean normal X Y Z" lines.
std::map<int32_t, uint64_t> printedSurfaces(const ProcessResult& r) {
    std::map<int32_t, uint64_t> s;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        int32_t n;
        unsigned long long p;
        double x, y, z;
        if (std::sscanf(line.c_str(), "surface %d: %llu points, mean normal %lf %lf %lf", &n, &p, &x, &y,
                        &z) == 5) {
            s[n] = p;
            EXPECT_NEAR(x * x + y * y + z * z, 1.0, 0.01) << line;
            EXPECT_GE(z, 0.0) << line;
        }
    }
    return s;
}

// The output against the input: the same file but for the Point Source IDs, which carry the classes.
void expectCopyWithSurfaces(const std::string& in, const std::string& out,
                            const std::vector<int32_t>& classes) {
    CLASFile a, b;
    ASSERT_TRUE(a.ReadFile(in.c_str())) << in;
    ASSERT_TRUE(b.ReadFile(out.c_str())) << out;
    ASSERT_EQ(b.NumberOfPointRecords, a.NumberOfPointRecords);
    ASSERT_EQ(b.points.size(), classes.size());
    EXPECT_EQ(b.PointDataFormatID, a.PointDataFormatID);
    EXPECT_EQ(b.PointDataRecordLength, a.PointDataRecordLength);
    EXPECT_EQ(b.records.size(), a.records.size());
    EXPECT_EQ(b.extraBytes, a.extraBytes);
    EXPECT_EQ(b.pointDataPadding, a.pointDataPadding);
    for (size_t i = 0; i < classes.size(); ++i) {
        LASPoint &p = *a.points[i], &q = *b.points[i];
        ASSERT_EQ(q.GetPointSourceID(), pointSourceIdForSurface(classes[i])) << "point " << i;
        ASSERT_EQ(q.GetX(), p.GetX());
        ASSERT_EQ(q.GetY(), p.GetY());
        ASSERT_EQ(q.GetZ(), p.GetZ());
        ASSERT_EQ(q.GetIntensity(), p.GetIntensity());
        ASSERT_EQ(q.GetClasification(), p.GetClasification());
        ASSERT_EQ(q.GetGPSTime(), p.GetGPSTime());
        ASSERT_EQ(q.GetRed(), p.GetRed());
    }
}

// Every real sample up to 40,000 points (the larger ones cost time, not coverage).
std::vector<SampleFile> smallSamples() {
    std::vector<SampleFile> out;
    for (const SampleFile& s : manifestSamples("las"))
        if (s.points <= 40000 && fs::exists(s.path))
            out.push_back(s);
    return out;
}

TEST(ClassifyTool, RealSamplesEndToEnd) {
    const auto samples = smallSamples();
    if (samples.empty())
        GTEST_SKIP() << "no real samples in " << PONTARO_DATA_DIR << "/las (see README: Real samples)";
    for (const SampleFile& s : samples) {
        SCOPED_TRACE(s.name);
        TempDir dir;
        const std::string out = dir.file("out.las"), classes = dir.file("out.classes");
        const ProcessResult r = classify({s.path, out, "--classes", classes, "--cache", dir.path().string()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(printed(r, "points read"), s.points);
        const auto c = readClassFile(classes);
        ASSERT_EQ(c.size(), s.points);
        expectCopyWithSurfaces(s.path, out, c);
        const int32_t surfaces = c.empty() ? 0 : *std::max_element(c.begin(), c.end());
        EXPECT_EQ(printed(r, "surfaces"), uint64_t(surfaces));
        EXPECT_EQ(printed(r, "points classified"),
                  uint64_t(c.size() - size_t(std::count(c.begin(), c.end(), 0))));
        const auto listed = printedSurfaces(r);
        EXPECT_EQ(listed.size(), std::min<size_t>(10, size_t(surfaces)));
        for (auto [n, p] : listed)
            EXPECT_EQ(p, uint64_t(std::count(c.begin(), c.end(), n))) << "surface " << n;
        if (s.points > 1000) {
            EXPECT_GT(surfaces, 0) << "a survey of ground and roofs has surfaces";
        }
        EXPECT_EQ(dir.entryCount(), 3u) << "output, class file and cache, nothing else";
    }
}

TEST(ClassifyTool, CacheThreadsAndRepeatedRunsGiveTheSameBytes) {
    const auto samples = smallSamples();
    auto it = std::find_if(samples.begin(), samples.end(),
                           [](const SampleFile& s) { return s.name == "mvk-thin.las"; });
    if (it == samples.end())
        GTEST_SKIP() << "mvk-thin.las is not in " << PONTARO_DATA_DIR << "/las";
    TempDir dir;
    const std::string cache = dir.file("cache");
    fs::create_directory(cache);
    auto a = classify({it->path, dir.file("a.las"), "--cache", cache, "--threads", "1"});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.err.find("from the cache"), std::string::npos);
    EXPECT_TRUE(fs::exists(cache + "/mvk-thin_compNeighbours15-0.25"));
    auto b = classify({it->path, dir.file("b.las"), "--cache", cache, "--threads", "2"});
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_NE(b.err.find("compatible neighbours: from the cache"), std::string::npos) << b.err;
    auto c = classify({it->path, dir.file("c.las"), "--no-cache", "--threads", "3"});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(readBytes(dir.file("a.las")), readBytes(dir.file("b.las")));
    EXPECT_EQ(readBytes(dir.file("a.las")), readBytes(dir.file("c.las")));
    EXPECT_EQ(a.out, c.out);
    // Other thresholds make another cache and other surfaces.
    auto d = classify({it->path, dir.file("d.las"), "--cache", cache, "--angle", "7.5", "--distance", "0.1"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_TRUE(fs::exists(cache + "/mvk-thin_compNeighbours7.5-0.1"));
    EXPECT_NE(readBytes(dir.file("a.las")), readBytes(dir.file("d.las")));
}

TEST(ClassifyTool, HandMadeTreeGetsItsSurfaceFiles) {
    TempDir dir;
    const Scene s = smallSettlement();
    const size_t n = s.positions.size(), third = n / 3;
    const std::string tree = dir.file("tree");
    fs::create_directory(tree);
    writeTree(tree, s, {{"", 0, third}, {"-2", third, 2 * third}, {"-2-4", 2 * third, n}});
    const std::string out = dir.file("tree.las");
    const ProcessResult r = classify({tree, out, "--classes", dir.file("tree.classes")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(printed(r, "points read"), n);
    EXPECT_GE(printed(r, "surfaces"), 3u);
    EXPECT_TRUE(fs::exists(dir.file("tree_compNeighbours15-0.25")))
        << "the cache lies beside the tree, not in it";
    const auto classes = readClassFile(dir.file("tree.classes"));
    // The surf files hold the classes, node by node in suffix order.
    std::vector<int32_t> surf;
    for (const char* suffix : {"", "-2", "-2-4"}) {
        const auto b = readBytes(tree + "/surf" + suffix);
        for (size_t i = 0; i + 4 <= b.size(); i += 4) {
            int32_t v;
            std::memcpy(&v, &b[i], 4);
            surf.push_back(v);
        }
    }
    EXPECT_EQ(surf, classes);
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(out.c_str()));
    ASSERT_EQ(las.points.size(), n);
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(las.points[i]->GetPointSourceID(), pointSourceIdForSurface(classes[i]));
    EXPECT_GT(score(s.labels, classes).purity, 0.95);
}

TEST(ClassifyTool, TreeBuiltByPontaroTree) {
    const auto samples = smallSamples();
    auto it = std::find_if(samples.begin(), samples.end(),
                           [](const SampleFile& s) { return s.name == "warsaw_small.las"; });
    if (it == samples.end())
        GTEST_SKIP() << "warsaw_small.las is not in " << PONTARO_DATA_DIR << "/las";
    TempDir dir;
    const std::string tree = dir.file("tree");
    auto built = runProcess({kTree, "build", it->path, tree});
    ASSERT_EQ(built.status, 0) << built.err;
    const ProcessResult r = classify({tree, dir.file("out.las"), "--no-cache"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(printed(r, "points read"), it->points);
    EXPECT_GT(printed(r, "surfaces"), 0u);
    auto info = runProcess({kTree, "info", tree});
    EXPECT_EQ(info.status, 0) << info.out << info.err;
    EXPECT_NE(info.out.find("check: complete"), std::string::npos) << "the surf files keep the tree complete";
    // Every classified point's surface number is in some node's surf file; all of them together hold
    // as many classified points as the tool reported.
    uint64_t classified = 0, total = 0;
    for (const auto& e : fs::directory_iterator(tree)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("surf", 0) != 0)
            continue;
        const auto b = readBytes(e.path().string());
        for (size_t i = 0; i + 4 <= b.size(); i += 4, ++total)
            classified += (b[i] | b[i + 1] | b[i + 2] | b[i + 3]) != 0;
    }
    EXPECT_EQ(total, it->points);
    EXPECT_EQ(classified, printed(r, "points classified"));
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(dir.file("out.las").c_str()));
    EXPECT_EQ(las.points.size(), it->points);
}

TEST(ClassifyTool, RefusalsAreOneLine) {
    TempDir dir;
    const std::string las = dir.file("in.las");
    writeLas(las, smallSettlement(), 1);
    EXPECT_EQ(classify({"--help"}).status, 0);
    EXPECT_NE(classify({"--help"}).out.find("usage: pontaro-classify IN OUT.las"), std::string::npos);
    EXPECT_EQ(classify({}).status, 2);
    expectOneErrorLine(classify({las}), "pontaro-classify", "expected IN and OUT.las");
    for (const char* v : {"0", "91", "abc", "nan", "-5", "10x"})
        expectOneErrorLine(classify({las, dir.file("o.las"), "--angle", v}), "pontaro-classify", "--angle");
    expectOneErrorLine(classify({las, dir.file("o.las"), "--distance", "1.5"}), "pontaro-classify",
                       "--distance");
    expectOneErrorLine(classify({las, dir.file("o.las"), "--global-angle"}), "pontaro-classify",
                       "needs a value");
    expectOneErrorLine(classify({las, dir.file("o.las"), "--threads", "0"}), "pontaro-classify", "--threads");
    expectOneErrorLine(classify({las, dir.file("o.las"), "--frobnicate"}), "pontaro-classify",
                       "unknown option");
    expectOneErrorLine(classify({las, dir.file("o.las"), "--no-cache", "--cache", "x"}), "pontaro-classify",
                       "exclude");
    expectOneErrorLine(classify({dir.file("missing.las"), dir.file("o.las")}), "pontaro-classify",
                       "missing.las");
    expectOneErrorLine(classify({las, dir.file("no/such/dir/o.las")}), "pontaro-classify", "no directory");
    expectOneErrorLine(classify({las, las}), "pontaro-classify", "replace the input");
    auto bytes = readBytes(las);
    writeBytes(dir.file("short.las"), bytes, bytes.size() - 10);
    expectOneErrorLine(classify({dir.file("short.las"), dir.file("o.las")}), "pontaro-classify", "truncated");
    const std::string empty = dir.file("empty");
    fs::create_directory(empty);
    expectOneErrorLine(classify({empty, dir.file("o.las")}), "pontaro-classify", "local tree directory");
    EXPECT_FALSE(fs::exists(dir.file("o.las"))) << "no output from a refused run";
    EXPECT_EQ(readBytes(las), bytes) << "the input is untouched";
}

} // namespace
