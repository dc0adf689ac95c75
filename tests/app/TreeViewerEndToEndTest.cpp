// The viewer opening a local tree as a user does: a tree built by pontaro-tree from a synthetic scene,
// `pontaro-viewer --tree DIR` on the test's X display (Xvfb), the screenshot it saves inspected.
#include "TestConfig.h"
#include "support/RunProcess.h"
#include "support/TempDir.h"

#include <SDL_image.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <thread>

namespace {

const std::string kBin = PONTARO_BIN_DIR;

bool xdotool(const std::string& args) { return std::system(("xdotool " + args + " >/dev/null 2>&1").c_str()) == 0; }

// Lit pixels below the panel, and those of them that are green (the scene's grass and trees).
std::pair<size_t, size_t> litAndGreen(const std::string& png) {
    SDL_Surface* s = IMG_Load(png.c_str());
    if (s == nullptr)
        return {0, 0};
    SDL_Surface* c = SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_RGBA32, 0);
    SDL_FreeSurface(s);
    size_t lit = 0, green = 0;
    for (int y = c->h / 4; y < c->h; ++y)
        for (int x = 0; x < c->w; ++x) {
            const uint8_t* p = static_cast<uint8_t*>(c->pixels) + size_t(y) * size_t(c->pitch) + size_t(x) * 4;
            if (p[0] + p[1] + p[2] < 30)
                continue;
            ++lit;
            green += p[1] > p[0] + 10 && p[1] > p[2] + 10;
        }
    SDL_FreeSurface(c);
    return {lit, green};
}

class TreeViewer : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "no X display (run the tests under xvfb-run)";
        if (std::system("command -v xdotool >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "xdotool is not installed";
    }
    TempDir dir;
};

TEST_F(TreeViewer, OpensALocalTreeDrawsItsNodesAndQuitsCleanly) {
    auto s = runProcess({kBin + "/pontaro-las", "synth", dir.file("scene.las"), "--points", "60000", "--format", "3",
                         "--seed", "3"});
    ASSERT_EQ(s.status, 0) << s.err;
    auto b = runProcess({kBin + "/pontaro-tree", "build", dir.file("scene.las"), dir.file("tree")});
    ASSERT_EQ(b.status, 0) << b.err;

    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    Process viewer({kBin + "/pontaro-viewer", "--tree", dir.file("tree")});
    std::string window;
    for (int i = 0; i < 200 && window.empty(); ++i) {
        FILE* f = popen(("xdotool search --pid " + std::to_string(viewer.pid()) + " --name '^Pontaro$' 2>/dev/null").c_str(), "r");
        char line[64] = {};
        if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
            window = std::to_string(std::atol(line));
        if (f != nullptr)
            pclose(f);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(window.empty()) << viewer.out() << viewer.err();

    // Statistics in the served data sets' form, with every node of the tree loaded and splats drawn.
    const std::regex stats("Average number of splats drawn: ([0-9]+), retrieval speed: ([0-9]+) splats/sec. "
                           "Nodes loaded: ([0-9]+).");
    long splats = 0, nodes = 0;
    for (int i = 0; i < 600 && (splats == 0 || nodes < 2); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::string out = viewer.out();
        for (auto it = std::sregex_iterator(out.begin(), out.end(), stats); it != std::sregex_iterator(); ++it)
            splats = std::stol((*it)[1]), nodes = std::stol((*it)[3]);
    }
    ASSERT_GT(splats, 0) << viewer.out().substr(0, 4000);
    EXPECT_GE(nodes, 2) << "60,000 points make a root and children";

    xdotool("key --window " + window + " p");
    std::string shot;
    for (int i = 0; i < 200 && shot.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string out = viewer.out();
        const size_t at = out.rfind("Saved screenshot ");
        if (at != std::string::npos)
            shot = kBin + "/" + out.substr(at + 17, out.find('\n', at) - at - 17);
    }
    ASSERT_FALSE(shot.empty()) << viewer.out();
    const auto [lit, green] = litAndGreen(shot);
    std::remove(shot.c_str());
    EXPECT_GT(lit, size_t(1024 * 768 / 20)) << "the tree covers little of the window";
    EXPECT_GT(green, lit / 10) << "the scene's colours are missing";

    xdotool("key --window " + window + " Escape");
    ProcessResult r;
    ASSERT_TRUE(viewer.waitFor(10, r)) << "the viewer did not quit";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Ended retrieval thread"), std::string::npos);
    EXPECT_EQ(r.out.find("Error in frame"), std::string::npos);
}

TEST_F(TreeViewer, RefusesADirectoryWithoutATree) {
    Process viewer({kBin + "/pontaro-viewer", "--tree", dir.file("nothing")});
    ProcessResult r;
    ASSERT_TRUE(viewer.waitFor(30, r));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Cannot open local tree"), std::string::npos) << r.out;
}

} // namespace
