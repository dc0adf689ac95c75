// pontaro-tree run as a user runs it: build, info and export on synthetic and real files, refusals,
// interruption.
#include "ToolRun.h"

#include <csignal>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

ProcessResult tree(std::vector<std::string> args) {
    return runTool("pontaro-tree", std::move(args));
}

// A LAS file's records, sorted, and its bytes between the header block and the points.
struct LasContent : LasBytes {
    std::vector<std::string> records;
    std::string between;
    explicit LasContent(const std::string& path) : LasBytes(path) {
        EXPECT_EQ(size, h.OffsetToPointData + uint64_t(h.NumberOfPointRecords) * h.PointDataRecordLength)
            << path;
        for (uint32_t i = 0; i < h.NumberOfPointRecords && size == bytes.size(); ++i)
            records.emplace_back(reinterpret_cast<const char*>(record(i)), h.PointDataRecordLength);
        std::sort(records.begin(), records.end());
        between.assign(bytes.begin() + LASHeader::BlockSize,
                       bytes.begin() + std::min<size_t>(h.OffsetToPointData, size));
    }
};

// Built, checked and exported whole: exactly the input's records under the input's header.
void expectRoundTrip(const std::string& input, const TempDir& dir) {
    const std::string out = dir.file("tree"), back = dir.file("back.las");
    auto b = tree({"build", input, out});
    ASSERT_EQ(b.status, 0) << b.err;
    const LasContent in(input);
    EXPECT_NE(b.out.find("points: " + std::to_string(in.h.NumberOfPointRecords) + "\n"), std::string::npos)
        << b.out;
    auto i = tree({"info", out});
    EXPECT_EQ(i.status, 0) << i.out << i.err;
    EXPECT_NE(i.out.find("check: complete"), std::string::npos) << i.out;
    ASSERT_EQ(tree({"export", out, back}).status, 0);
    const LasContent got(back);
    ASSERT_EQ(got.records.size(), in.records.size());
    EXPECT_TRUE(got.records == in.records) << "the exported records differ from the input's";
    EXPECT_EQ(got.h.PointDataFormatID, in.h.PointDataFormatID);
    EXPECT_EQ(got.h.PointDataRecordLength, in.h.PointDataRecordLength);
    EXPECT_EQ(got.h.NumberOfVariableLengthRecords, in.h.NumberOfVariableLengthRecords);
    EXPECT_EQ(got.h.OffsetToPointData, in.h.OffsetToPointData);
    EXPECT_EQ(got.h.ScaleFactor_Z, in.h.ScaleFactor_Z);
    EXPECT_EQ(got.h.OffsetX, in.h.OffsetX);
    EXPECT_EQ(got.between, in.between); // extra header bytes, records and gap are the input's
}

std::map<std::string, std::string> filesIn(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        const auto b = readBytes(e.path().string());
        files[e.path().filename().string()] = std::string(b.begin(), b.end());
    }
    return files;
}

// A survey that splits the root: round trip, levels that add points until all are there, no silent
// overwrite, an identical rebuild with --force, and --force never deleting what is not the tree's.
TEST(TreeTool, SyntheticSurvey) {
    TempDir dir;
    const std::string input = synth(dir, "in.las", 90000, 3), out = dir.file("tree");
    expectRoundTrip(input, dir);
    uint64_t previous = 0;
    for (int level = 0; previous < 90000 && level <= 16; ++level) {
        const std::string part = dir.file("level" + std::to_string(level) + ".las");
        ASSERT_EQ(tree({"export", out, part, "--level", std::to_string(level)}).status, 0);
        const uint64_t n = LasContent(part).h.NumberOfPointRecords;
        EXPECT_GT(n, previous) << "level " << level;
        previous = n;
    }
    EXPECT_EQ(previous, 90000u);
    auto i = tree({"info", out});
    EXPECT_NE(i.out.find("depth: "), std::string::npos);
    EXPECT_EQ(i.out.find("depth: 0\n"), std::string::npos) << "90,000 points must split the root\n" << i.out;

    const auto first = filesIn(out);
    expectOneErrorLine(tree({"build", input, out}), "pontaro-tree", "holds a complete tree: use --force");
    auto again = tree({"build", input, out, "--force"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(filesIn(out) == first) << "a rebuild of the same input differs";
    std::ofstream(out + "/notes.txt") << "mine";
    expectOneErrorLine(tree({"build", input, out, "--force"}), "pontaro-tree", "notes.txt");
    EXPECT_TRUE(fs::exists(out + "/notes.txt"));
    EXPECT_TRUE(fs::exists(out + "/header")) << "a refused build must leave the tree as it was";
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

// SIGINT mid-build: the directory is never taken for a complete tree, and only --force builds over it.
TEST(TreeTool, InterruptedBuildIsNeverTakenForComplete) {
    TempDir dir;
    const std::string input = synth(dir, "in.las", 400000, 1), out = dir.file("tree");
    Process p({std::string(PONTARO_BIN_DIR) + "/pontaro-tree", "build", input, out});
    ASSERT_TRUE(p.waitForOutput("neighbours", 120, true)) << p.err();
    kill(p.pid(), SIGINT);
    ProcessResult r;
    ASSERT_TRUE(p.waitFor(60, r)) << "the build did not stop after SIGINT";
    EXPECT_NE(r.status, 0);
    ASSERT_FALSE(r.errLines().empty());
    EXPECT_NE(r.errLines().back().find("interrupted"), std::string::npos) << r.err;
    EXPECT_NE(r.errLines().back().find("incomplete"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out + "/header"));
    EXPECT_NE(tree({"info", out}).status, 0);
    expectOneErrorLine(tree({"build", input, out}), "pontaro-tree", "incomplete build");
    // A small input is enough to show --force takes the half-built directory.
    auto forced = tree({"build", synth(dir, "small.las", 5000, 1), out, "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(tree({"info", out}).status, 0);
}

TEST(TreeTool, Refusals) {
    TempDir dir;
    std::ofstream(dir.file("junk.las")) << "this is not a LAS file at all, not even close to one";
    const std::string junk = dir.file("junk.las"), t = dir.file("t");
    expectRefusals("pontaro-tree",
                   {{{"build", junk, t}, 1, "junk.las"},
                    {{"build", dir.file("missing.las"), t}, 1, "missing.las"},
                    {{"build", junk}, 2, "build needs IN.las and OUTDIR"},
                    {{"build", junk, t, "--bogus"}, 2, "unknown option '--bogus'"},
                    {{"info", dir.file("nothing-here")}, 1, "nothing-here"},
                    {{"info"}, 2, "info needs OUTDIR"},
                    {{"export", t, dir.file("o.las"), "--level", "x"}, 2, "--level"},
                    {{"export", t, dir.file("o.las"), "--level", "31"}, 2, "0 to 30, not '31'"},
                    {{"export", t}, 2, "export needs OUTDIR and OUT.las"}});
    EXPECT_FALSE(fs::exists(t + "/header"));
    EXPECT_FALSE(fs::exists(dir.file("o.las")));
}

} // namespace
