// pontaro-tree run as a user runs it: build, info and export on synthetic and real files, refusals,
// interruption.
#include "LASHeader.h"
#include "TestConfig.h"
#include "support/RunProcess.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

const std::string kTree = std::string(PONTARO_BIN_DIR) + "/pontaro-tree";
const std::string kLas = std::string(PONTARO_BIN_DIR) + "/pontaro-las";

ProcessResult tree(std::vector<std::string> args) {
    args.insert(args.begin(), kTree);
    return runProcess(args);
}

std::string synth(const TempDir& dir, const std::string& name, int points, int format) {
    const std::string path = dir.file(name);
    auto r = runProcess({kLas, "synth", path, "--points", std::to_string(points), "--format", std::to_string(format),
                         "--seed", "11"});
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
}

std::string bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct LasContent {
    LASHeader h;
    std::string headerBytes; // everything before the points
    std::vector<std::string> records;
};

LasContent readLas(const std::string& path) {
    LasContent c;
    const std::string b = bytesOf(path);
    EXPECT_GE(b.size(), size_t(LASHeader::BlockSize)) << path;
    if (b.size() < size_t(LASHeader::BlockSize))
        return c;
    c.h.copyFromBuffer(reinterpret_cast<const unsigned char*>(b.data()));
    c.headerBytes = b.substr(0, c.h.OffsetToPointData);
    EXPECT_EQ(b.size(), c.h.OffsetToPointData + uint64_t(c.h.NumberOfPointRecords) * c.h.PointDataRecordLength)
        << path;
    for (uint32_t i = 0; i < c.h.NumberOfPointRecords; ++i)
        c.records.push_back(b.substr(c.h.OffsetToPointData + size_t(i) * c.h.PointDataRecordLength,
                                     c.h.PointDataRecordLength));
    std::sort(c.records.begin(), c.records.end());
    return c;
}

// Built, checked and exported whole: the export holds exactly the input's records under the input's
// header (counts and box recomputed from the records).
void expectRoundTrip(const std::string& input, const TempDir& dir) {
    const std::string out = dir.file("tree"), back = dir.file("back.las");
    auto b = tree({"build", input, out});
    ASSERT_EQ(b.status, 0) << b.err;
    const LasContent in = readLas(input);
    EXPECT_NE(b.out.find("points: " + std::to_string(in.h.NumberOfPointRecords) + "\n"), std::string::npos) << b.out;

    auto i = tree({"info", out});
    EXPECT_EQ(i.status, 0) << i.out << i.err;
    EXPECT_NE(i.out.find("check: complete"), std::string::npos) << i.out;

    auto e = tree({"export", out, back});
    ASSERT_EQ(e.status, 0) << e.err;
    const LasContent got = readLas(back);
    ASSERT_EQ(got.records.size(), in.records.size());
    EXPECT_TRUE(got.records == in.records) << "the exported records differ from the input's";
    EXPECT_EQ(got.h.PointDataFormatID, in.h.PointDataFormatID);
    EXPECT_EQ(got.h.PointDataRecordLength, in.h.PointDataRecordLength);
    EXPECT_EQ(got.h.NumberOfVariableLengthRecords, in.h.NumberOfVariableLengthRecords);
    EXPECT_EQ(got.h.OffsetToPointData, in.h.OffsetToPointData);
    EXPECT_EQ(got.h.ScaleFactor_Z, in.h.ScaleFactor_Z);
    EXPECT_EQ(got.h.OffsetX, in.h.OffsetX);
    // Everything after the 227-byte block and before the points (extra header bytes, records, gap) is
    // the input's.
    EXPECT_EQ(got.headerBytes.substr(LASHeader::BlockSize), in.headerBytes.substr(LASHeader::BlockSize));
}

TEST(TreeTool, SyntheticSurveyRoundTripsThroughTheTreeLevelByLevel) {
    TempDir dir;
    const std::string input = synth(dir, "in.las", 90000, 3);
    expectRoundTrip(input, dir);

    // Level 0 alone is a thinned sample; each further level adds points until all are there.
    uint64_t previous = 0;
    for (int level = 0;; ++level) {
        const std::string part = dir.file("level" + std::to_string(level) + ".las");
        auto e = tree({"export", dir.file("tree"), part, "--level", std::to_string(level)});
        ASSERT_EQ(e.status, 0) << e.err;
        const uint64_t n = readLas(part).h.NumberOfPointRecords;
        EXPECT_GT(n, previous) << "level " << level;
        previous = n;
        if (n == 90000 || level > 16)
            break;
    }
    EXPECT_EQ(previous, 90000u);
    auto i = tree({"info", dir.file("tree")});
    EXPECT_NE(i.out.find("depth: "), std::string::npos);
    EXPECT_EQ(i.out.find("depth: 0\n"), std::string::npos) << "90,000 points must split the root\n" << i.out;
}

TEST(TreeTool, RealSamplesRoundTrip) {
    int tried = 0;
    for (const auto& s : manifestSamples("las")) {
        if (s.points > 40000) // the larger ones are covered by the library's whole-build tests
            continue;
        SCOPED_TRACE(s.name);
        TempDir dir;
        expectRoundTrip(s.path, dir);
        ++tried;
    }
    if (tried == 0)
        GTEST_SKIP() << "no real samples in " << PONTARO_DATA_DIR << "/las";
}

TEST(TreeTool, RefusesToOverwriteAndRebuildsIdenticallyWithForce) {
    TempDir dir;
    const std::string input = synth(dir, "in.las", 50000, 1), out = dir.file("tree");
    ASSERT_EQ(tree({"build", input, out}).status, 0);
    std::map<std::string, std::string> first;
    for (const auto& e : fs::directory_iterator(out))
        first[e.path().filename().string()] = bytesOf(e.path().string());

    expectOneErrorLine(tree({"build", input, out}), "pontaro-tree", "holds a complete tree: use --force");
    auto again = tree({"build", input, out, "--force"});
    ASSERT_EQ(again.status, 0) << again.err;
    std::map<std::string, std::string> second;
    for (const auto& e : fs::directory_iterator(out))
        second[e.path().filename().string()] = bytesOf(e.path().string());
    EXPECT_EQ(first.size(), second.size());
    EXPECT_TRUE(first == second) << "a rebuild of the same input differs";

    // --force never deletes what is not a tree's.
    std::ofstream(out + "/notes.txt") << "mine";
    expectOneErrorLine(tree({"build", input, out, "--force"}), "pontaro-tree", "notes.txt");
    EXPECT_TRUE(fs::exists(out + "/notes.txt"));
    EXPECT_TRUE(fs::exists(out + "/header")) << "a refused build must leave the tree as it was";
}

TEST(TreeTool, InterruptedBuildLeavesADirectoryThatIsNeverTakenForComplete) {
    TempDir dir;
    const std::string input = synth(dir, "in.las", 400000, 1), out = dir.file("tree");
    Process p({kTree, "build", input, out});
    ASSERT_TRUE(p.waitForOutput("neighbours", 120, true)) << p.err();
    kill(p.pid(), SIGINT);
    ProcessResult r;
    ASSERT_TRUE(p.waitFor(60, r)) << "the build did not stop after SIGINT";
    EXPECT_NE(r.status, 0);
    ASSERT_FALSE(r.errLines().empty());
    const std::string last = r.errLines().back();
    EXPECT_NE(last.find("interrupted"), std::string::npos) << r.err;
    EXPECT_NE(last.find("incomplete"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out + "/header"));

    EXPECT_NE(tree({"info", out}).status, 0);
    expectOneErrorLine(tree({"build", input, out}), "pontaro-tree", "incomplete build");
    auto forced = tree({"build", input, out, "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(tree({"info", out}).status, 0);
}

TEST(TreeTool, BadInputAndUsageGetOneClearLine) {
    TempDir dir;
    std::ofstream(dir.file("junk.las")) << "this is not a LAS file at all, not even close to one";
    expectOneErrorLine(tree({"build", dir.file("junk.las"), dir.file("t")}), "pontaro-tree", "junk.las");
    EXPECT_FALSE(fs::exists(dir.file("t") + "/header"));
    expectOneErrorLine(tree({"build", dir.file("missing.las"), dir.file("t2")}), "pontaro-tree", "missing.las");
    auto usage = tree({"build", dir.file("junk.las")});
    EXPECT_EQ(usage.status, 2);
    expectOneErrorLine(tree({"info", dir.file("nothing-here")}), "pontaro-tree", "nothing-here");
    auto level = tree({"export", dir.file("t"), dir.file("o.las"), "--level", "x"});
    EXPECT_EQ(level.status, 2);
}

} // namespace
