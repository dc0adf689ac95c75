// The viewer as a user runs it: the real point server on 127.0.0.1:10488, the viewer program on the
// test's X display (Xvfb), xdotool clicking and typing, and the PNG screenshots it saves inspected.
#include "DatasetImport.h"
#include "GUI.h"
#include "SyntheticScene.h"

#include "TestConfig.h"
#include "support/CaptureStdout.h"
#include "support/LocalPointServer.h"
#include "support/RunProcess.h"
#include "support/TempDir.h"

#include <SDL_image.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <thread>

namespace {

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    const uint8_t* at(int x, int y) const { return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4]; }
};

Image loadPng(const std::string& path) {
    Image img;
    SDL_Surface* s = IMG_Load(path.c_str());
    if (s == nullptr)
        return img;
    SDL_Surface* c = SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_RGBA32, 0);
    SDL_FreeSurface(s);
    img.width = c->w;
    img.height = c->h;
    img.rgba.resize(size_t(c->w) * size_t(c->h) * 4);
    for (int y = 0; y < c->h; ++y)
        std::memcpy(&img.rgba[size_t(y) * size_t(c->w) * 4], static_cast<uint8_t*>(c->pixels) + size_t(y) * size_t(c->pitch),
                    size_t(c->w) * 4);
    SDL_FreeSurface(c);
    return img;
}

// Pixels of the image's lower three quarters (below the panel) that are not background.
struct Coverage {
    size_t lit = 0, grey = 0, blueish = 0, greenish = 0;
};
Coverage coverage(const Image& img) {
    Coverage c;
    for (int y = img.height / 4; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const uint8_t* p = img.at(x, y);
            if (p[0] + p[1] + p[2] < 30)
                continue;
            ++c.lit;
            c.grey += std::abs(p[0] - p[1]) <= 2 && std::abs(p[1] - p[2]) <= 2;
            c.blueish += p[2] > p[0] + 30 && p[2] > p[1] + 30;
            c.greenish += p[1] > p[0] + 10 && p[1] > p[2] + 10;
        }
    return c;
}

// Pixels whose colour differs by more than a little in some channel.
size_t differing(const Image& a, const Image& b) {
    if (a.width != b.width || a.height != b.height)
        return size_t(a.width) * size_t(a.height);
    size_t n = 0;
    for (size_t i = 0; i < a.rgba.size(); i += 4)
        n += std::abs(a.rgba[i] - b.rgba[i]) > 24 || std::abs(a.rgba[i + 1] - b.rgba[i + 1]) > 24 ||
             std::abs(a.rgba[i + 2] - b.rgba[i + 2]) > 24;
    return n;
}

bool xdotool(const std::string& args) {
    return std::system(("xdotool " + args + " >/dev/null 2>&1").c_str()) == 0;
}

class Viewer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        writeSyntheticLAS(dir_->file("scene.las"), SynthOptions{60000, 2, 3});
        StdoutCapture quiet;
        importDataset(dir_->file("scene.las"), dir_->file("data"), "Test scene", 8);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "no X display (run the tests under xvfb-run)";
        if (std::system("command -v xdotool >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "xdotool is not installed";
        if (std::system("bash -c 'exec 3<>/dev/tcp/127.0.0.1/10488' 2>/dev/null") == 0)
            GTEST_SKIP() << "port 10488, the viewer's server port, is in use by another program";
    }

    void startViewer() {
        // The GL driver and libdbus keep allocations until exit: a sanitized viewer must not fail on them.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        viewer_ = std::make_unique<Process>(std::vector<std::string>{std::string(PONTARO_BIN_DIR) + "/pontaro-viewer"});
        const std::string pid = std::to_string(viewer_->pid());
        for (int i = 0; i < 200 && window_.empty(); ++i) {
            FILE* f = popen(("xdotool search --pid " + pid + " --name '^Pontaro$' 2>/dev/null").c_str(), "r");
            char line[64] = {};
            if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
                window_ = std::to_string(std::atol(line));
            if (f != nullptr)
                pclose(f);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_FALSE(window_.empty()) << viewer_->out() << viewer_->err();
        ASSERT_TRUE(viewer_->waitForOutput("Initializing shaders", 20)) << viewer_->out();
    }
    void click(int x, int y) { xdotool("mousemove --window " + window_ + " " + std::to_string(x) + " " + std::to_string(y) + " click 1"); }
    void key(const std::string& k) { xdotool("key --window " + window_ + " " + k); }

    // Chooses the first data set and waits for a statistics line with splats drawn and a retrieval speed.
    void chooseAndSettle() {
        ASSERT_TRUE(viewer_->waitForOutput("The point server lists 1 data set(s).", 30)) << viewer_->out();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        click(20, 6);
        const std::regex stats("Average number of splats drawn: ([0-9]+), retrieval speed: ([0-9]+) splats/sec.");
        for (int i = 0; i < 1200; ++i) {
            const std::string out = viewer_->out();
            for (auto it = std::sregex_iterator(out.begin(), out.end(), stats); it != std::sregex_iterator(); ++it)
                if (std::stol((*it)[1]) > 0 && std::stol((*it)[2]) > 0)
                    return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        FAIL() << "no statistics with splats drawn:\n" << viewer_->out();
    }

    // Presses p and returns the saved screenshot.
    Image screenshot() {
        const size_t before = count("Saved screenshot ");
        key("p");
        for (int i = 0; i < 300 && count("Saved screenshot ") == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string out = viewer_->out();
        const size_t at = out.rfind("Saved screenshot ");
        if (at == std::string::npos)
            return {};
        const std::string name = out.substr(at + 17, out.find('\n', at) - at - 17);
        Image img = loadPng(std::string(PONTARO_BIN_DIR) + "/" + name);
        std::remove((std::string(PONTARO_BIN_DIR) + "/" + name).c_str());
        return img;
    }
    // Screenshots until two in a row agree: the scene has stopped changing.
    Image settledScreenshot() {
        Image last = screenshot();
        for (int i = 0; i < 60; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            Image next = screenshot();
            if (!next.rgba.empty() && next.rgba == last.rgba)
                return next;
            last = std::move(next);
        }
        ADD_FAILURE() << "the image kept changing";
        return last;
    }
    size_t count(const std::string& text) const {
        const std::string out = viewer_->out();
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            ++n;
        return n;
    }
    // Escape quits (a first one only closes a panel entry left selected by a click).
    void quit(int escapes = 1) {
        for (int i = 0; i < escapes; ++i) {
            key("Escape");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        ProcessResult r;
        const bool ended = viewer_->waitFor(30, r); // a hang guard: sanitizer builds on a busy machine quit slowly
        ASSERT_TRUE(ended) << "the viewer did not quit:\n" << viewer_->out();
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Ended caching thread"), std::string::npos);
        EXPECT_EQ(r.out.find("Error in frame"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Framebuffer incomplete"), std::string::npos);
    }

    static inline TempDir* dir_ = nullptr;
    std::unique_ptr<Process> viewer_;
    std::string window_;
};

TEST_F(Viewer, DrawsTheSceneInEveryColourModeAndResizes) {
    LocalPointServer server(dir_->file("data"), 0, 10488);
    startViewer();
    chooseAndSettle();

    // LAS colours (the default), then Normals, Depth and OFF with m.
    Image las = screenshot();
    ASSERT_EQ(las.width, 1024);
    ASSERT_EQ(las.height, 768);
    const Coverage c1 = coverage(las);
    EXPECT_GT(c1.lit, size_t(las.width * las.height / 20)) << "the scene covers little of the window";
    EXPECT_GT(c1.greenish, c1.lit / 10); // vegetation and grass of the synthetic scene
    key("m");
    const Coverage c2 = coverage(screenshot());
    EXPECT_GT(c2.blueish, c2.lit / 2); // upward normals: blue dominates
    key("m");
    const Coverage c3 = coverage(screenshot());
    EXPECT_GT(c3.lit, 0u);
    EXPECT_EQ(c3.grey, c3.lit); // depth is grey
    key("m");
    const Coverage c4 = coverage(screenshot());
    EXPECT_GT(c4.grey, c4.lit * 9 / 10); // plain lit surfaces
    EXPECT_EQ(c4.greenish, 0u);
    EXPECT_NE(viewer_->out().find("Changed to OFF color mode."), std::string::npos);

    // "Screen mode" is the 12th entry: nine clicks go from 1024x768 to 1920x1080.
    SDL_FreeSurface(textRenderer.generateText("x"));
    ASSERT_NE(textRenderer.font, nullptr);
    // Entries are as high as their rendered text, which depends on the glyphs: lay them out as the panel does.
    int y = 0;
    for (const char* entry : {"Brightness = 1.3000000000000000", "Color mode = OFF", "Contrast = 1.0000000000000000",
                              "Draw LOD grid = Disabled", "FPS = 18.000000000000000", "GPU memory = 0",
                              "Grid expansion = 0.0000000000000000", "Lighting = Enabled",
                              "Mark current request = Disabled", "Mesh mode = Disabled",
                              "Min projected size = 1.5000000000000000",
                              "Radius modifier = 1.0000000000000000"}) {
        SDL_Surface* text = textRenderer.generateText(entry);
        ASSERT_NE(text, nullptr);
        y += text->h;
        SDL_FreeSurface(text);
    }
    for (int i = 0; i < 9; ++i) {
        click(5, y + 6);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const Image big = screenshot();
    EXPECT_EQ(big.width, 1920);
    EXPECT_EQ(big.height, 1080);
    EXPECT_GT(coverage(big).lit, 0u);
    quit(2);
}

TEST_F(Viewer, MeshModeDrawsTrianglesAndSwitchesBackToSplats) {
    LocalPointServer server(dir_->file("data"), 0, 10488);
    startViewer();
    chooseAndSettle();
    key("g"); // the panel's numbers change from frame to frame
    const Image splats = settledScreenshot();
    ASSERT_GT(coverage(splats).lit, size_t(splats.width * splats.height / 20));

    key("t");
    const std::regex meshes(" Tiles drawn as meshes: ([0-9]+)\\.");
    bool drawn = false;
    for (int i = 0; i < 600 && !drawn; ++i) {
        const std::string out = viewer_->out();
        for (auto it = std::sregex_iterator(out.begin(), out.end(), meshes); it != std::sregex_iterator(); ++it)
            drawn = drawn || std::stol((*it)[1]) > 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(drawn) << viewer_->out();
    const Image mesh = settledScreenshot();
    const Coverage c = coverage(mesh);
    EXPECT_GT(c.lit, size_t(mesh.width * mesh.height / 20)) << "the meshes cover little of the window";
    EXPECT_GT(c.greenish, c.lit / 10); // the data's colours reach the meshes
    EXPECT_GT(differing(splats, mesh), size_t(mesh.width * mesh.height / 100));

    key("t");
    const Image back = settledScreenshot();
    EXPECT_LT(differing(splats, back), size_t(back.width * back.height / 1000));
    quit();
}

TEST_F(Viewer, WaitsForAServerAndOutlivesIt) {
    startViewer();
    ASSERT_TRUE(viewer_->waitForOutput("Cannot reach the point server at http://127.0.0.1:10488/", 20)) << viewer_->out();
    auto server = std::make_unique<LocalPointServer>(dir_->file("data"), 0, 10488);
    chooseAndSettle();
    server.reset(); // the server goes away mid-session: the viewer keeps drawing what it has
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_GT(coverage(screenshot()).lit, 0u);
    quit();
}

} // namespace
