// The viewer opening a local tree as a user does: a synthetic scene built into a tree and classified by the
// tools, `pontaro-viewer --tree DIR` on the test's X display, the screenshots it saves inspected.
#include "ViewerDriver.h"

#include "support/TempDir.h"

namespace {

const std::string kBin = PONTARO_BIN_DIR;

struct TreeViewer : ::testing::Test {
    void SetUp() override {
        if (const std::string why = cannotDriveViewer(); !why.empty())
            GTEST_SKIP() << why;
    }
    TempDir dir;
};

// Every node loaded and drawn; with "Optimize surfaces" on (the default) nodes are meshed and the picture
// changes only where meshes replace splats; key s switches to splats only and back. Quitting, also while a
// node is between the stages, ends cleanly.
TEST_F(TreeViewer, DrawsNodesOptimisesSurfacesAndSwitchesBackToSplats) {
    const std::string las = dir.file("scene.las"), tree = dir.file("tree");
    for (const std::string& command :
         {"pontaro-las synth " + las + " --points 60000 --format 3 --seed 3",
          "pontaro-tree build " + las + " " + tree,
          "pontaro-classify " + tree + " " + dir.file("c.las") + " --threads 2 --no-cache"}) {
        const ProcessResult r = runProcess({"/bin/sh", "-c", kBin + "/" + command});
        ASSERT_EQ(r.status, 0) << command << ": " << r.out << r.err;
    }
    ViewerProcess v({"--tree", tree});
    ASSERT_FALSE(v.window.empty()) << v.log();
    // Settled: two statistics lines in a row with the same splats drawn and nodes optimised, at least one.
    const std::string stats =
        "splats drawn: ([0-9]+), [^\n]* Nodes loaded: ([0-9]+). Nodes optimized: ([0-9]+), "
        "average optimization time per splat: ([0-9.e+-]+) ms.";
    std::vector<std::vector<std::string>> lines;
    ASSERT_TRUE(v.waitUntil(90, [&] {
        const size_t n = (lines = v.matches(stats)).size();
        return n >= 2 && lines[n - 1][1] == lines[n - 2][1] && lines[n - 1][3] == lines[n - 2][3] &&
               std::stol(lines[n - 1][3]) >= 1;
    })) << v.out().substr(0, 6000);
    EXPECT_GT(std::stol(lines.back()[1]), 0);
    EXPECT_GE(std::stol(lines.back()[2]), 2) << "60,000 points make a root and children";
    // Only optimisations of more than 1,000 splats are measured; every node here has that many.
    EXPECT_GT(std::stod(lines.back()[4]), 0.0);
    // Screenshots after key `k` and, when given, the message that it took effect, a frame later.
    const auto after = [&](const char* k, const char* message) {
        v.key(k);
        EXPECT_TRUE(message == nullptr || v.proc->waitForOutput(message, 60)) << v.out();
        sleepMs(400);
        return v.screenshot();
    };
    const Image meshed = after("g", nullptr), splats = after("s", "Optimize surfaces off."),
                again = after("s", "Optimize surfaces on."); // g: the panel's numbers change every frame
    for (const Image* img : {&meshed, &splats, &again})
        ASSERT_EQ(img->width, 1024);
    // Colours that differ by more than a little in all channels together.
    const auto moved = [](const uint8_t* a, const uint8_t* b) {
        return std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]) > 24;
    };
    size_t litSplats = 0, changed = 0, holes = 0, unstable = 0;
    for (int y = 0; y < meshed.height; ++y)
        for (int x = 0; x < meshed.width; ++x) {
            const uint8_t *m = meshed.at(x, y), *p = splats.at(x, y);
            litSplats += lit(p);
            changed += moved(m, p);
            holes += moved(m, p) && !lit(m) && lit(p); // a mesh that leaves the background where splats were
            unstable += moved(m, again.at(x, y));
        }
    const size_t pixels = meshed.pixels();
    EXPECT_GT(litSplats, pixels / 20) << "the splat view is nearly empty";
    EXPECT_GT(changed, pixels / 500) << "the meshes changed nothing";
    EXPECT_LT(changed, litSplats / 2) << "more than the meshed surfaces changed";
    EXPECT_LT(holes, changed / 5) << "meshes drawn as holes";
    EXPECT_LT(unstable, pixels / 1000) << "meshes are kept while switched off, nothing else changes";
    v.quit(1, "Ended retrieval thread");
    ViewerProcess early({"--tree", tree});
    ASSERT_TRUE(early.proc->waitForOutput("Time for setup of", 60)) << early.log();
    early.quit(1, nullptr);
}

TEST_F(TreeViewer, RefusesADirectoryWithoutATree) {
    Process viewer({kBin + "/pontaro-viewer", "--tree", dir.file("nothing")});
    ProcessResult r;
    ASSERT_TRUE(viewer.waitFor(30, r));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Cannot open local tree"), std::string::npos) << r.out;
}

} // namespace
