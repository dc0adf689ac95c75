// pontaro-tree run as a user runs it: build, info and export on synthetic and real files, refusals,
// interruption.
#include "ToolRun.h"

#include <csignal>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

// A LAS file's records, sorted, and its bytes before them less the counts and the box (recomputed by an
// export from the records).
struct LasContent : LasBytes {
    std::vector<std::string> records;
    std::string head;
    explicit LasContent(const std::string& path) : LasBytes(path) {
        EXPECT_EQ(size, h.OffsetToPointData + uint64_t(h.NumberOfPointRecords) * h.PointDataRecordLength)
            << path;
        for (uint32_t i = 0; i < h.NumberOfPointRecords && size == bytes.size(); ++i)
            records.emplace_back(reinterpret_cast<const char*>(record(i)), h.PointDataRecordLength);
        std::sort(records.begin(), records.end());
        head.assign(bytes.begin(), bytes.begin() + std::min<size_t>(h.OffsetToPointData, bytes.size()));
        head.replace(107, 24, 24, '\0').replace(179, 48, 48, '\0');
    }
};

// Built, checked and exported whole: exactly the input's records under the input's header.
void expectRoundTrip(const std::string& input, const TempDir& dir) {
    const std::string out = dir.file("tree"), back = dir.file("back.las");
    auto b = treeTool.ok({"build", input, out});
    const LasContent in(input);
    EXPECT_NE(b.out.find("points: " + std::to_string(in.records.size()) + "\n"), std::string::npos) << b.out;
    auto i = treeTool.ok({"info", out});
    EXPECT_NE(i.out.find("check: complete"), std::string::npos) << i.out;
    treeTool.ok({"export", out, back});
    const LasContent got(back);
    EXPECT_TRUE(got.records == in.records) << "the exported records differ from the input's";
    EXPECT_TRUE(got.head == in.head) << "the exported header or records before the points differ";
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
        treeTool.ok({"export", out, part, "--level", std::to_string(level)});
        const uint64_t n = LasContent(part).h.NumberOfPointRecords;
        EXPECT_GT(n, previous) << "level " << level;
        previous = n;
    }
    EXPECT_EQ(previous, 90000u);
    auto i = treeTool({"info", out});
    EXPECT_NE(i.out.find("depth: "), std::string::npos);
    EXPECT_EQ(i.out.find("depth: 0\n"), std::string::npos) << "90,000 points must split the root\n" << i.out;

    const auto first = filesIn(out);
    expectOneErrorLine(treeTool({"build", input, out}), "pontaro-tree", "holds a complete tree: use --force");
    auto again = treeTool.ok({"build", input, out, "--force"});
    EXPECT_TRUE(filesIn(out) == first) << "a rebuild of the same input differs";
    std::ofstream(out + "/notes.txt") << "mine";
    expectOneErrorLine(treeTool({"build", input, out, "--force"}), "pontaro-tree", "notes.txt");
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
    Process p({std::string(PONTARO_BIN_DIR) + "/" + treeTool.name, "build", input, out});
    ASSERT_TRUE(p.waitForOutput("neighbours", 120, true)) << p.err();
    kill(p.pid(), SIGINT);
    ProcessResult r;
    ASSERT_TRUE(p.waitFor(60, r)) << "the build did not stop after SIGINT";
    EXPECT_NE(r.status, 0);
    ASSERT_FALSE(r.errLines().empty());
    EXPECT_NE(r.errLines().back().find("interrupted"), std::string::npos) << r.err;
    EXPECT_NE(r.errLines().back().find("incomplete"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out + "/header"));
    EXPECT_NE(treeTool({"info", out}).status, 0);
    expectOneErrorLine(treeTool({"build", input, out}), "pontaro-tree", "incomplete build");
    // A small input is enough to show --force takes the half-built directory.
    auto forced = treeTool.ok({"build", synth(dir, "small.las", 5000, 1), out, "--force"});
    treeTool.ok({"info", out});
}

TEST(TreeTool, Refusals) {
    TempDir dir;
    std::ofstream(dir.file("junk.las")) << "this is not a LAS file at all, not even close to one";
    const std::string junk = dir.file("junk.las"), t = dir.file("t");
    treeTool.refuses({{{"build", junk, t}, 1, "junk.las"},
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
