// The viewer as a user runs it: the real point server on 127.0.0.1:10488, the viewer program on the
// test's X display (Xvfb), xdotool clicking and typing, and the PNG screenshots it saves inspected.
#include "DatasetImport.h"
#include "GUI.h"
#include "LASHeader.h"
#include "LASPointData.h"
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
#include <filesystem>
#include <fstream>
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
        std::memcpy(&img.rgba[size_t(y) * size_t(c->w) * 4],
                    static_cast<uint8_t*>(c->pixels) + size_t(y) * size_t(c->pitch), size_t(c->w) * 4);
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

// A point of a survey written by writeSurvey, in world units.
struct SurveyPoint {
    double x, y, z;
    uint16_t intensity = 0;
    uint8_t returnByte = 1 | 1 << 3;
    uint8_t classification = 1;
};

// A point format 1 file (no colour, as most airborne surveys) with its own scale factor on each axis.
void writeSurvey(const std::string& path, const std::vector<SurveyPoint>& points, const double scale[3]) {
    LASHeader h;
    std::memcpy(h.FileSignature, "LASF", 4);
    h.VersionMajor = 1;
    h.VersionMinor = 2;
    h.HeaderSize = LASHeader::BlockSize;
    h.OffsetToPointData = LASHeader::BlockSize;
    h.PointDataFormatID = 1;
    h.PointDataRecordLength = 28;
    h.NumberOfPointRecords = uint32_t(points.size());
    h.NumberOfPointsByReturn[0] = h.NumberOfPointRecords;
    h.ScaleFactor_X = scale[0];
    h.ScaleFactor_Y = scale[1];
    h.ScaleFactor_Z = scale[2];
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    for (const SurveyPoint& p : points)
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], (&p.x)[a]);
            hi[a] = std::max(hi[a], (&p.x)[a]);
        }
    h.OffsetX = std::floor(lo[0]);
    h.OffsetY = std::floor(lo[1]);
    h.OffsetZ = std::floor(lo[2]);
    h.Min_X = lo[0], h.Max_X = hi[0], h.Min_Y = lo[1], h.Max_Y = hi[1], h.Min_Z = lo[2], h.Max_Z = hi[2];
    std::vector<unsigned char> bytes(LASHeader::BlockSize + points.size() * 28);
    h.copyToBuffer(bytes.data());
    unsigned char* rec = bytes.data() + LASHeader::BlockSize;
    for (const SurveyPoint& p : points) {
        las_detail::PointFields f;
        f.X = int32_t(std::llround((p.x - h.OffsetX) / scale[0]));
        f.Y = int32_t(std::llround((p.y - h.OffsetY) / scale[1]));
        f.Z = int32_t(std::llround((p.z - h.OffsetZ) / scale[2]));
        f.intensity = p.intensity;
        f.returnByte = p.returnByte;
        f.classification = p.classification;
        f.pack<1>(rec);
        rec += 28;
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// 100 m × 100 m at 0.5 m spacing, rising 1 m every 10 m along x, a 5 m roof over part of one quadrant, and
// per quadrant (x below or above 50 m, y below or above 50 m) a class and a kind of return; intensity rises
// along y.
std::vector<SurveyPoint> layoutSurvey() {
    std::vector<SurveyPoint> points;
    for (int i = 0; i < 200; ++i)
        for (int j = 0; j < 200; ++j) {
            SurveyPoint p{0.25 + 0.5 * i, 0.25 + 0.5 * j, 0};
            const bool farX = p.x >= 50, farY = p.y >= 50;
            p.z = 0.1 * p.x + (p.x > 60 && p.x < 90 && p.y > 10 && p.y < 40 ? 5 : 0);
            p.intensity = uint16_t(1000 + 100 * p.y);
            p.classification = !farX ? (!farY ? 2 : 5) : (!farY ? 6 : 9);
            p.returnByte = !farX ? (!farY ? 1 | 1 << 3 : 2 | 3 << 3) : (!farY ? 1 | 2 << 3 : 2 | 2 << 3);
            points.push_back(p);
        }
    return points;
}

// A sphere of radius 10 m, evenly covered (a Fibonacci lattice).
std::vector<SurveyPoint> sphereSurvey() {
    std::vector<SurveyPoint> points;
    const int n = 20000;
    for (int k = 0; k < n; ++k) {
        const double z = 1 - 2 * (k + 0.5) / n, r = std::sqrt(1 - z * z), a = k * 2.399963229728653;
        points.push_back({500 + 10 * r * std::cos(a), 700 + 10 * r * std::sin(a), 100 + 10 * z});
    }
    return points;
}

// A 2 m × 2 m column 20 m high (walls and top), and a 1 km × 1 km plain with 1 m of relief.
std::vector<SurveyPoint> towerSurvey() {
    std::vector<SurveyPoint> points;
    for (int k = 0; k < 200; ++k)
        for (int s = 0; s < 40; ++s) {
            const double t = s / 10.0, z = 0.1 * k; // 4 walls of 2 m, 10 points each
            const double x = s < 10 ? t : s < 20 ? 2 : s < 30 ? 2 - (t - 2) : 0;
            const double y = s < 10 ? 0 : s < 20 ? t - 1 : s < 30 ? 2 : 2 - (t - 3);
            points.push_back({100 + x, 200 + y, 50 + z});
        }
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j)
            points.push_back({100 + 0.1 * i, 200 + 0.1 * j, 70});
    return points;
}
std::vector<SurveyPoint> plainSurvey() {
    std::vector<SurveyPoint> points;
    for (int i = 0; i < 200; ++i)
        for (int j = 0; j < 200; ++j)
            points.push_back({2.5 + 5 * i, 2.5 + 5 * j, 0.5 + 0.5 * std::sin(i * 0.1) * std::cos(j * 0.13)});
    return points;
}

struct Box {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
    int width() const { return x1 - x0 + 1; }
    int height() const { return y1 - y0 + 1; }
};
// Bounding box of the pixels that are not background.
Box litBox(const Image& img) {
    Box b;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const uint8_t* p = img.at(x, y);
            if (p[0] + p[1] + p[2] >= 30) {
                b.x0 = std::min(b.x0, x), b.x1 = std::max(b.x1, x);
                b.y0 = std::min(b.y0, y), b.y1 = std::max(b.y1, y);
            }
        }
    return b;
}
struct Rgb {
    double r = 0, g = 0, b = 0;
};
// Mean colour around the point at fractions (fx, fy) of the box.
Rgb meanAround(const Image& img, const Box& box, double fx, double fy) {
    const int cx = box.x0 + int(fx * box.width()), cy = box.y0 + int(fy * box.height());
    const int rx = std::max(2, box.width() / 25), ry = std::max(2, box.height() / 25);
    Rgb m;
    int n = 0;
    for (int y = cy - ry; y <= cy + ry; ++y)
        for (int x = cx - rx; x <= cx + rx; ++x) {
            const uint8_t* p = img.at(x, y);
            m.r += p[0], m.g += p[1], m.b += p[2];
            ++n;
        }
    m.r /= n, m.g /= n, m.b /= n;
    return m;
}
std::string str(const Rgb& c) {
    return "(" + std::to_string(int(c.r)) + ", " + std::to_string(int(c.g)) + ", " +
           std::to_string(int(c.b)) + ")";
}

class Viewer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        writeSyntheticLAS(dir_->file("scene.las"), SynthOptions{60000, 2, 3});
        StdoutCapture quiet;
        importDataset(dir_->file("scene.las"), dir_->file("data"), "Test scene", 8);
    }
    // Surveys without colour, their z scale ten times finer than x and y, each in a data directory of its
    // own.
    static std::string survey(const std::string& name, const std::vector<SurveyPoint>& points) {
        const double scale[3] = {0.01, 0.01, 0.001};
        const std::string file = dir_->file(name + ".las"), data = dir_->file("data-" + name);
        writeSurvey(file, points, scale);
        StdoutCapture quiet;
        importDataset(file, data, name, 8);
        return data;
    }
    // Opens a data set by name, hides the panel and returns the settled image.
    Image openSettled(const std::string& name) {
        startViewer({"--dataset", name});
        const std::regex stats("Average number of splats drawn: ([1-9][0-9]*)");
        for (int i = 0; i < 600 && !std::regex_search(viewer_->out(), stats) && viewer_->running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!std::regex_search(viewer_->out(), stats)) {
            ADD_FAILURE() << name << " drew nothing:\n" << viewer_->out() << viewer_->err();
            return {};
        }
        key("g");
        return settledScreenshot();
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

    void startViewer(std::vector<std::string> args = {}) {
        // The GL driver and libdbus keep allocations until exit: a sanitized viewer must not fail on them.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        args.insert(args.begin(), std::string(PONTARO_BIN_DIR) + "/pontaro-viewer");
        viewer_ = std::make_unique<Process>(args);
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
    void click(int x, int y) {
        xdotool("mousemove --window " + window_ + " " + std::to_string(x) + " " + std::to_string(y) +
                " click 1");
    }
    void key(const std::string& k) { xdotool("key --window " + window_ + " " + k); }

    // Chooses the first data set and waits for a statistics line with splats drawn and a retrieval speed.
    void chooseAndSettle() {
        ASSERT_TRUE(viewer_->waitForOutput("The point server lists 1 data set(s).", 30)) << viewer_->out();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        click(20, 6);
        const std::regex stats(
            "Average number of splats drawn: ([0-9]+), retrieval speed: ([0-9]+) splats/sec.");
        for (int i = 0; i < 1200; ++i) {
            const std::string out = viewer_->out();
            for (auto it = std::sregex_iterator(out.begin(), out.end(), stats); it != std::sregex_iterator();
                 ++it)
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
        for (int i = 0; i < 300 && count("Saved screenshot ") == before && viewer_->running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string out = viewer_->out();
        const size_t at = out.rfind("Saved screenshot ");
        if (at == std::string::npos)
            return {};
        const std::string name = out.substr(at + 17, out.find('\n', at) - at - 17);
        Image img = loadPng(name); // the path in the directory the viewer was started from
        std::remove(name.c_str());
        return img;
    }
    // Screenshots until two in a row agree: the scene has stopped changing.
    Image settledScreenshot() {
        Image last = screenshot();
        // A hang guard for sanitizer builds on a busy machine; a viewer that has ended takes no more.
        for (int i = 0; i < 240 && viewer_->running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            Image next = screenshot();
            if (!next.rgba.empty() && next.rgba == last.rgba)
                return next;
            last = std::move(next);
        }
        ADD_FAILURE() << (viewer_->running() ? "the image kept changing" : "the viewer ended");
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
        const bool ended =
            viewer_->waitFor(30, r); // a hang guard: sanitizer builds on a busy machine quit slowly
        ASSERT_TRUE(ended) << "the viewer did not quit:\n" << viewer_->out();
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Ended caching thread"), std::string::npos);
        EXPECT_EQ(r.out.find("Error in frame"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Framebuffer incomplete"), std::string::npos);
        EXPECT_EQ(r.out.find("Unable to load font"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Can't open file"), std::string::npos) << r.err;
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
    for (int i = 0; i < 5;
         ++i) // Elevation, Intensity, Classification, Return (tested on a known layout below)
        key("m");
    const Coverage c4 = coverage(screenshot());
    EXPECT_GT(c4.grey, c4.lit * 9 / 10); // plain lit surfaces
    EXPECT_EQ(c4.greenish, 0u);
    EXPECT_NE(viewer_->out().find("Changed to Return color mode.\nChanged to OFF color mode."),
              std::string::npos);

    // "Screen mode" is the last entry: nine clicks go from 1024x768 to 1920x1080.
    SDL_FreeSurface(textRenderer.generateText("x"));
    ASSERT_NE(textRenderer.font, nullptr);
    // Entries are as high as their rendered text, which depends on the glyphs: lay them out as the panel
    // does.
    int y = 0;
    for (const char* entry :
         {"Brightness = 1.3000000000000000", "Color mode = OFF", "Contrast = 1.0000000000000000",
          "Draw LOD grid = Disabled", "Eye-dome lighting = Disabled", "FPS = 18.000000000000000",
          "Frame time target = 0.0000000000000000", "GPU memory = 0", "Grid expansion = 0.0000000000000000",
          "Lighting = Enabled", "Mark current request = Disabled", "Mesh mode = Disabled",
          "Min projected size = 1.5000000000000000", "Point budget = 3000000",
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
    // A hang guard: a sanitizer build on a busy machine triangulates slowly.
    for (int i = 0; i < 2400 && !drawn; ++i) {
        const std::string out = viewer_->out();
        for (auto it = std::sregex_iterator(out.begin(), out.end(), meshes); it != std::sregex_iterator();
             ++it)
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

// A survey without colour opens in "Elevation", framed from its own proportions; seen from above (key y)
// each mode by attribute colours the known regions as its legend says, eye-dome lighting outlines the roof,
// and a point budget below the data set holds the splats drawn to it.
TEST_F(Viewer, ColourModesByAttributeOnAKnownLayout) {
    LocalPointServer server(survey("Layout", layoutSurvey()), 0, 10488);
    openSettled("Layout");
    key("y");
    const Image elevation = settledScreenshot();
    const Box box = litBox(elevation);
    ASSERT_GT(box.width(), elevation.width / 3) << "the data set should fill most of the window";
    ASSERT_GT(box.height(), elevation.height / 3);
    // From above, x runs down the screen and y to the right. Heights rise with x down the right half (no
    // roof there) from the ramp's violet to its greens, the roof's heights taking its yellow end.
    const Rgb low = meanAround(elevation, box, 0.75, 0.1), roof = meanAround(elevation, box, 0.25, 0.8);
    EXPECT_GT(low.b, low.g + 40) << "violet: " << str(low);
    EXPECT_GT(roof.r + roof.g, 2.5 * roof.b) << "yellow: " << str(roof);
    double lastGreen = -1;
    for (double f : {0.1, 0.3, 0.5, 0.7, 0.9}) {
        const Rgb c = meanAround(elevation, box, 0.75, f);
        EXPECT_GT(c.g, lastGreen + 15) << "at " << f << ": " << str(c);
        lastGreen = c.g;
    }

    key("m");
    const Image intensity = settledScreenshot();
    const Rgb dim = meanAround(intensity, box, 0.15, 0.5), bright = meanAround(intensity, box, 0.85, 0.5);
    for (const Rgb& c : {dim, bright})
        EXPECT_TRUE(std::abs(c.r - c.g) < 3 && std::abs(c.g - c.b) < 3) << "intensity is grey: " << str(c);
    EXPECT_GT(bright.g, dim.g + 80) << str(dim) << " " << str(bright);

    key("m");
    const Image classes = settledScreenshot();
    const Rgb ground = meanAround(classes, box, 0.25, 0.25),
              highVegetation = meanAround(classes, box, 0.75, 0.25),
              building = meanAround(classes, box, 0.25, 0.75), water = meanAround(classes, box, 0.75, 0.75);
    EXPECT_TRUE(ground.r > ground.g && ground.g > ground.b + 20) << "ground is brown: " << str(ground);
    EXPECT_TRUE(highVegetation.g > highVegetation.r + 40 && highVegetation.g > highVegetation.b + 40)
        << "high vegetation is green: " << str(highVegetation);
    EXPECT_TRUE(building.r > building.g + 60 && building.r > building.b + 60)
        << "building is red: " << str(building);
    EXPECT_TRUE(water.b > water.r + 60 && water.b > water.g + 30) << "water is blue: " << str(water);

    key("m");
    const Image returns = settledScreenshot();
    const Rgb single = meanAround(returns, box, 0.25, 0.25),
              intermediate = meanAround(returns, box, 0.75, 0.25),
              first = meanAround(returns, box, 0.25, 0.75), last = meanAround(returns, box, 0.75, 0.75);
    EXPECT_TRUE(single.r > single.b + 60 && single.g > single.b + 60)
        << "single returns are yellow: " << str(single);
    EXPECT_TRUE(first.r > first.g + 60 && first.r > first.b + 60) << "first returns are red: " << str(first);
    EXPECT_TRUE(intermediate.g > intermediate.r + 40 && intermediate.g > intermediate.b + 40)
        << "intermediate returns are green: " << str(intermediate);
    EXPECT_TRUE(last.b > last.r + 60 && last.b > last.g + 30) << "last returns are blue: " << str(last);

    // Eye-dome lighting darkens the ground along the roof's edges and leaves open ground as it was.
    key("e");
    const Image edl = settledScreenshot();
    size_t darkened = 0;
    for (int y = box.y0; y <= box.y1; ++y)
        for (int x = box.x0; x <= box.x1; ++x) {
            const uint8_t *a = returns.at(x, y), *b = edl.at(x, y);
            darkened += b[0] + b[1] + b[2] < (a[0] + a[1] + a[2]) * 2 / 3;
        }
    EXPECT_GT(darkened, size_t(box.width() / 2)) << "no outline";
    EXPECT_LT(darkened, size_t(box.width()) * size_t(box.height()) / 10) << "darkened far from any edge";
    const Rgb open = meanAround(edl, box, 0.75, 0.75);
    EXPECT_NEAR(open.b, last.b, 25) << str(open) << " " << str(last);

    // Halving the budget nine times leaves 3,000,000 / 2^8 = 11,718 and then the floor of 10,000 splats.
    for (int i = 0; i < 9; ++i)
        key("bracketleft");
    ASSERT_TRUE(viewer_->waitForOutput("Point budget 10000 splats.", 10)) << viewer_->out();
    const size_t from = viewer_->out().size(), before = count("Average number of splats drawn");
    std::string after;
    for (int i = 0; i < 300 && count("Average number of splats drawn") < before + 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = viewer_->out().substr(from);
    const std::regex stats("Average number of splats drawn: ([0-9]+),[^\n]*");
    int lines = 0;
    for (auto it = std::sregex_iterator(after.begin(), after.end(), stats); it != std::sregex_iterator();
         ++it, ++lines)
        if (lines > 0) { // the first may average frames from before the budget took effect
            EXPECT_LE(std::stol((*it)[1]), 10000) << it->str();
            EXPECT_NE(it->str().find("holds detail back"), std::string::npos) << it->str();
        }
    EXPECT_GE(lines, 2) << after;
    quit();
}

// A metre is a metre on every axis: a sphere whose z scale factor is ten times finer than x and y's is
// drawn round. Data sets ten times taller than wide and a thousand times wider than tall both fill the
// window and stay inside it.
TEST_F(Viewer, TrueProportionsAndFraming) {
    struct Case {
        const char* name;
        std::vector<SurveyPoint> points;
    } cases[] = {{"Sphere", sphereSurvey()}, {"Tower", towerSurvey()}, {"Plain", plainSurvey()}};
    // Started elsewhere than beside its resources (and its screenshots land here).
    struct Cwd {
        std::filesystem::path was = std::filesystem::current_path();
        ~Cwd() { std::filesystem::current_path(was); }
    } restore;
    std::filesystem::current_path(dir_->path());
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        LocalPointServer server(survey(c.name, c.points), 0, 10488);
        const Image img = openSettled(c.name);
        ASSERT_FALSE(img.rgba.empty());
        const Box box = litBox(img);
        // The framing fits the data set's box; a sphere fills less of it than a tower or a plain.
        const double fill = std::string(c.name) == "Sphere" ? 0.25 : 0.45;
        EXPECT_GT(std::max(double(box.width()) / img.width, double(box.height()) / img.height), fill)
            << "box " << box.width() << " x " << box.height();
        EXPECT_TRUE(box.x0 > 0 && box.y0 > 0 && box.x1 < img.width - 1 && box.y1 < img.height - 1)
            << "cut off at the window's edge: " << box.x0 << " " << box.y0 << " " << box.x1 << " " << box.y1;
        if (std::string(c.name) == "Sphere")
            EXPECT_NEAR(double(box.width()) / box.height(), 1.0, 0.08)
                << box.width() << " x " << box.height();
        if (std::string(c.name) == "Tower")
            EXPECT_GT(box.height(), 2 * box.width());
        quit();
    }
}

TEST_F(Viewer, WaitsForAServerAndOutlivesIt) {
    startViewer();
    ASSERT_TRUE(viewer_->waitForOutput("Cannot reach the point server at http://127.0.0.1:10488/", 20))
        << viewer_->out();
    auto server = std::make_unique<LocalPointServer>(dir_->file("data"), 0, 10488);
    chooseAndSettle();
    server.reset(); // the server goes away mid-session: the viewer keeps drawing what it has
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_GT(coverage(screenshot()).lit, 0u);
    quit();
}

} // namespace
