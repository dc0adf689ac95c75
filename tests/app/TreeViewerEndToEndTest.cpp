// The viewer opening a local tree as a user does: a tree built by pontaro-tree from a synthetic scene,
// `pontaro-viewer --tree DIR` on the test's X display (Xvfb), the screenshot it saves inspected.
#include "TestConfig.h"
#include "support/RunProcess.h"
#include "support/TempDir.h"

#include <SDL_image.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>
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

// RGB rows of a PNG (empty when it cannot be read).
struct Rgb {
    int w = 0, h = 0;
    std::vector<uint8_t> px;
    const uint8_t* at(int x, int y) const { return &px[(size_t(y) * size_t(w) + size_t(x)) * 3]; }
};
Rgb loadRgb(const std::string& png) {
    Rgb img;
    SDL_Surface* s = IMG_Load(png.c_str());
    if (s == nullptr)
        return img;
    SDL_Surface* c = SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_RGB24, 0);
    SDL_FreeSurface(s);
    img.w = c->w, img.h = c->h;
    img.px.resize(size_t(c->w) * size_t(c->h) * 3);
    for (int y = 0; y < c->h; ++y)
        std::memcpy(&img.px[size_t(y) * size_t(c->w) * 3], static_cast<uint8_t*>(c->pixels) + size_t(y) * size_t(c->pitch),
                    size_t(c->w) * 3);
    SDL_FreeSurface(c);
    return img;
}
bool dark(const uint8_t* p) { return p[0] + p[1] + p[2] < 30; }
bool differs(const uint8_t* a, const uint8_t* b) {
    return std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]) > 24;
}

// The viewer's window, once it is up (empty after a minute: a hang guard generous for sanitizer builds).
std::string windowOf(const Process& viewer) {
    for (int i = 0; i < 1200; ++i) {
        FILE* f = popen(("xdotool search --pid " + std::to_string(viewer.pid()) + " --name '^Pontaro$' 2>/dev/null").c_str(), "r");
        char line[64] = {};
        const bool found = f != nullptr && std::fgets(line, sizeof line, f) != nullptr;
        if (f != nullptr)
            pclose(f);
        if (found)
            return std::to_string(std::atol(line));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
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
    const std::string window = windowOf(viewer);
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
    for (int i = 0; i < 1200 && shot.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string out = viewer.out();
        const size_t at = out.rfind("Saved screenshot ");
        if (at != std::string::npos)
            shot = out.substr(at + 17, out.find('\n', at) - at - 17);
    }
    ASSERT_FALSE(shot.empty()) << viewer.out();
    const auto [lit, green] = litAndGreen(shot);
    std::remove(shot.c_str());
    EXPECT_GT(lit, size_t(1024 * 768 / 20)) << "the tree covers little of the window";
    EXPECT_GT(green, lit / 10) << "the scene's colours are missing";

    xdotool("key --window " + window + " Escape");
    ProcessResult r;
    ASSERT_TRUE(viewer.waitFor(30, r)) << "the viewer did not quit";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Ended retrieval thread"), std::string::npos);
    EXPECT_EQ(r.out.find("Error in frame"), std::string::npos);
}

// Built, classified, opened with "Optimize surfaces" on (the default): nodes are meshed and the picture
// changes where the meshes replace splats; key s switches to splats only and back.
TEST_F(TreeViewer, OptimisesSurfacesIntoMeshesAndSwitchesBackToSplats) {
    auto s = runProcess({kBin + "/pontaro-las", "synth", dir.file("scene.las"), "--points", "60000", "--format", "3",
                         "--seed", "3"});
    ASSERT_EQ(s.status, 0) << s.err;
    auto b = runProcess({kBin + "/pontaro-tree", "build", dir.file("scene.las"), dir.file("tree")});
    ASSERT_EQ(b.status, 0) << b.err;
    auto c = runProcess({kBin + "/pontaro-classify", dir.file("tree"), dir.file("classified.las"), "--threads", "2",
                         "--no-cache"});
    ASSERT_EQ(c.status, 0) << c.out << c.err;

    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    Process viewer({kBin + "/pontaro-viewer", "--tree", dir.file("tree")});
    const std::string window = windowOf(viewer);
    ASSERT_FALSE(window.empty()) << viewer.out() << viewer.err();
    auto key = [&](const std::string& k) { xdotool("key --window " + window + " " + k); };

    // Settled: two statistics lines in a row with the same splats drawn and nodes optimised, at least one.
    const std::regex stats("Average number of splats drawn: ([0-9]+), retrieval speed: [0-9]+ splats/sec. "
                           "Nodes loaded: ([0-9]+). Nodes optimized: ([0-9]+), average optimization time per "
                           "splat: ([0-9.e+-]+) ms.");
    long optimised = 0;
    double perSplat = 0;
    bool settled = false;
    for (int i = 0; i < 900 && !settled; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::string out = viewer.out();
        std::vector<std::pair<long, long>> lines;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), stats); it != std::sregex_iterator(); ++it) {
            lines.emplace_back(std::stol((*it)[1]), std::stol((*it)[3]));
            perSplat = std::stod((*it)[4]);
        }
        const size_t n = lines.size();
        settled = n >= 2 && lines[n - 1] == lines[n - 2] && lines[n - 1].second >= 1;
        optimised = n > 0 ? lines.back().second : 0;
    }
    ASSERT_TRUE(settled) << viewer.out().substr(0, 6000);
    EXPECT_GE(optimised, 1);
    const std::string log = viewer.out();
    EXPECT_NE(log.find("Finished processing of node"), std::string::npos);
    // Only optimisations of more than 1,000 splats are measured; every node here has that many.
    EXPECT_GT(perSplat, 0.0);

    auto shot = [&]() {
        const size_t before = viewer.out().size();
        key("p");
        std::string name;
        for (int i = 0; i < 1200 && name.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const std::string out = viewer.out();
            const size_t at = out.find("Saved screenshot ", before);
            if (at != std::string::npos && out.find('\n', at) != std::string::npos)
                name = out.substr(at + 17, out.find('\n', at) - at - 17);
        }
        Rgb img = loadRgb(name);
        std::remove(name.c_str());
        return img;
    };
    auto toggle = [&](const char* expect) {
        key("s");
        EXPECT_TRUE(viewer.waitForOutput(expect, 60)) << viewer.out();
        std::this_thread::sleep_for(std::chrono::milliseconds(400)); // a frame drawn with the new setting
    };
    key("g"); // the panel's numbers change from frame to frame
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const Rgb meshed = shot();
    toggle("Optimize surfaces off.");
    const Rgb splats = shot();
    toggle("Optimize surfaces on.");
    const Rgb again = shot();
    ASSERT_EQ(meshed.w, 1024);
    ASSERT_EQ(splats.w, 1024);
    ASSERT_EQ(again.w, 1024);

    size_t litMeshed = 0, litSplats = 0, changed = 0, holes = 0, unstable = 0;
    for (int y = 0; y < meshed.h; ++y)
        for (int x = 0; x < meshed.w; ++x) {
            const uint8_t *m = meshed.at(x, y), *p = splats.at(x, y);
            litMeshed += !dark(m);
            litSplats += !dark(p);
            if (differs(m, p)) {
                ++changed;
                holes += dark(m) && !dark(p); // a mesh that leaves the background where splats were
            }
            unstable += differs(m, again.at(x, y));
        }
    const size_t pixels = size_t(meshed.w) * size_t(meshed.h);
    EXPECT_GT(litMeshed, pixels / 20) << "the meshed view is nearly empty";
    EXPECT_GT(litSplats, pixels / 20) << "the splat view is nearly empty";
    EXPECT_GT(changed, pixels / 500) << "the meshes changed nothing";
    EXPECT_LT(changed, litSplats / 2) << "more than the meshed surfaces changed";
    EXPECT_LT(holes, changed / 5) << "meshes drawn as holes";
    // Meshes are kept while switched off, and nothing else changes with the switch.
    EXPECT_LT(unstable, pixels / 1000);

    key("Escape");
    ProcessResult r;
    ASSERT_TRUE(viewer.waitFor(30, r)) << "the viewer did not quit";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Error in frame"), std::string::npos);
    EXPECT_EQ(r.out.find("Framebuffer incomplete"), std::string::npos);
    EXPECT_EQ(r.out.find("out of bounds"), std::string::npos);

    // Quitting while a node is between the stages: its request ends with the viewer, which exits cleanly.
    Process early({kBin + "/pontaro-viewer", "--tree", dir.file("tree")});
    ASSERT_TRUE(early.waitForOutput("Time for setup of", 60)) << early.out();
    std::string w2;
    for (int i = 0; i < 100 && w2.empty(); ++i) {
        FILE* f = popen(("xdotool search --pid " + std::to_string(early.pid()) + " --name '^Pontaro$' 2>/dev/null").c_str(), "r");
        char line[64] = {};
        if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
            w2 = std::to_string(std::atol(line));
        if (f != nullptr)
            pclose(f);
    }
    xdotool("key --window " + w2 + " Escape");
    ASSERT_TRUE(early.waitFor(30, r)) << "the viewer did not quit with a request under way";
    EXPECT_EQ(r.status, 0) << r.err;
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
