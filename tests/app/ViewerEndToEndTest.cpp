// The viewer as a user runs it: the real point server on 127.0.0.1:10488, the viewer program on the test's X
// display, xdotool clicking and typing, and the PNG screenshots it saves inspected.
#include "DatasetImport.h"
#include "LASHeader.h"
#include "LASPointData.h"
#include "LasLog.h"
#include "SyntheticScene.h"
#include "ViewerDriver.h"

#include "support/LocalPointServer.h"
#include "support/TempDir.h"

#include <cstring>
#include <filesystem>

namespace {

// Pixels of the image's lower three quarters (below the panel) that are not background.
struct Coverage {
    size_t lit = 0, grey = 0, blueish = 0, greenish = 0;
};
Coverage coverage(const Image& img) {
    Coverage c;
    for (int y = img.height / 4; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const uint8_t* p = img.at(x, y);
            if (!lit(p))
                continue;
            ++c.lit;
            c.grey += std::abs(p[0] - p[1]) <= 2 && std::abs(p[1] - p[2]) <= 2;
            c.blueish += p[2] > p[0] + 30 && p[2] > p[1] + 30;
            c.greenish += p[1] > p[0] + 10 && p[1] > p[2] + 10;
        }
    return c;
}

// Bounding box of the pixels that are not background.
struct Box {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
    explicit Box(const Image& img) {
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x)
                if (lit(img.at(x, y)))
                    x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
    }
    int width() const { return x1 - x0 + 1; }
    int height() const { return y1 - y0 + 1; }
};

struct Rgb {
    double r = 0, g = 0, b = 0;
    double operator[](int i) const { return (&r)[i]; }
};
std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << int(c.r) << ", " << int(c.g) << ", " << int(c.b) << ")";
}
// Mean colour around the point at fractions (fx, fy) of the box.
Rgb meanAround(const Image& img, const Box& box, double fx, double fy) {
    const int cx = box.x0 + int(fx * box.width()), cy = box.y0 + int(fy * box.height());
    const int rx = std::max(2, box.width() / 25), ry = std::max(2, box.height() / 25);
    Rgb m;
    for (int y = cy - ry; y <= cy + ry; ++y)
        for (int x = cx - rx; x <= cx + rx; ++x)
            m.r += img.at(x, y)[0], m.g += img.at(x, y)[1], m.b += img.at(x, y)[2];
    const double n = (2 * rx + 1) * (2 * ry + 1);
    return {m.r / n, m.g / n, m.b / n};
}

struct SurveyPoint {
    double x, y, z;
    uint16_t intensity = 0;
    uint8_t returnByte = 1 | 1 << 3, classification = 1;
};

// A point format 1 file (no colour, as most airborne surveys), its z scale ten times finer than x and y's.
void writeSurvey(const std::string& path, const std::vector<SurveyPoint>& points) {
    LASHeader h;
    std::memcpy(h.FileSignature, "LASF", 4);
    h.VersionMajor = 1, h.VersionMinor = 2, h.PointDataFormatID = 1, h.PointDataRecordLength = 28;
    h.HeaderSize = h.OffsetToPointData = LASHeader::BlockSize;
    h.NumberOfPointRecords = h.NumberOfPointsByReturn[0] = uint32_t(points.size());
    h.ScaleFactor_X = h.ScaleFactor_Y = 0.01, h.ScaleFactor_Z = 0.001;
    h.Min_X = h.Min_Y = h.Min_Z = 1e300, h.Max_X = h.Max_Y = h.Max_Z = -1e300;
    for (const SurveyPoint& p : points) {
        h.Min_X = std::min(h.Min_X, p.x), h.Min_Y = std::min(h.Min_Y, p.y), h.Min_Z = std::min(h.Min_Z, p.z);
        h.Max_X = std::max(h.Max_X, p.x), h.Max_Y = std::max(h.Max_Y, p.y), h.Max_Z = std::max(h.Max_Z, p.z);
    }
    h.OffsetX = std::floor(h.Min_X), h.OffsetY = std::floor(h.Min_Y), h.OffsetZ = std::floor(h.Min_Z);
    std::vector<unsigned char> bytes(LASHeader::BlockSize + points.size() * 28);
    h.copyToBuffer(bytes.data());
    const auto raw = [](double v, double o, double s) { return int32_t(std::llround((v - o) / s)); };
    for (size_t i = 0; i < points.size(); ++i) {
        const SurveyPoint& p = points[i];
        las_detail::PointFields f{raw(p.x, h.OffsetX, 0.01), raw(p.y, h.OffsetY, 0.01),
                                  raw(p.z, h.OffsetZ, 0.001)};
        f.intensity = p.intensity, f.returnByte = p.returnByte, f.classification = p.classification;
        f.pack<1>(bytes.data() + LASHeader::BlockSize + i * 28);
    }
    writeBytes(path, bytes);
}

// Layout: 100 m × 100 m at 0.5 m spacing, rising 1 m every 10 m along x, a 5 m roof over part of one
// quadrant, and per quadrant (x below or above 50 m, y below or above 50 m) a class and a kind of return;
// intensity rises along y. Sphere: radius 10 m, evenly covered (a Fibonacci lattice). Tower: a 2 m × 2 m
// column 20 m high, walls and top. Plain: 1 km × 1 km with 1 m of relief.
std::vector<SurveyPoint> survey(const std::string& name) {
    const uint8_t kClass[4] = {2, 5, 6, 9}, kReturn[4] = {1 | 1 << 3, 2 | 3 << 3, 1 | 2 << 3, 2 | 2 << 3};
    std::vector<SurveyPoint> points;
    for (int i = 0; i < 200 && (name == "Layout" || name == "Plain"); ++i)
        for (int j = 0; j < 200; ++j) {
            const int q = (i >= 100) * 2 + (j >= 100);
            const double x = 0.25 + 0.5 * i, y = 0.25 + 0.5 * j;
            points.push_back(
                name == "Plain"
                    ? SurveyPoint{2.5 + 5 * i, 2.5 + 5 * j,
                                  0.5 + 0.5 * std::sin(i * 0.1) * std::cos(j * 0.13)}
                    : SurveyPoint{x, y, 0.05 * i + 0.025 + (x > 60 && x < 90 && y > 10 && y < 40 ? 5 : 0),
                                  uint16_t(1025 + 50 * j), kReturn[q], kClass[q]});
        }
    for (int k = 0, n = 20000; k < n && name == "Sphere"; ++k) {
        const double z = 1 - 2 * (k + 0.5) / n, r = std::sqrt(1 - z * z), a = k * 2.399963229728653;
        points.push_back({500 + 10 * r * std::cos(a), 700 + 10 * r * std::sin(a), 100 + 10 * z});
    }
    for (int k = 0; k < 8000 && name == "Tower"; ++k) { // four walls, 10 points each, every 10 cm up
        const int wall = k % 40 / 10;
        const double t = k % 10 / 10.0, x[4] = {t, 2, 2 - t, 0}, y[4] = {0, t, 2, 2 - t};
        points.push_back({100 + x[wall], 200 + y[wall], 50 + 0.1 * (k / 40)});
    }
    for (int i = 0; i < 400 && name == "Tower"; ++i)
        points.push_back({100 + 0.1 * (i / 20), 200 + 0.1 * (i % 20), 70});
    return points;
}

const std::string kDrawn = "Average number of splats drawn: ([0-9]+)";

// A synthetic scene in a data directory of its own, and the surveys together in another.
class Viewer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const LasLogTo quiet(nullptr);
        writeSyntheticLAS(dir_->file("scene.las"), SynthOptions{60000, 2, 3});
        importDataset(dir_->file("scene.las"), dir_->file("data"), "Test scene", 8);
        for (const std::string name : {"Layout", "Sphere", "Tower", "Plain"}) {
            writeSurvey(dir_->file(name + ".las"), survey(name));
            importDataset(dir_->file(name + ".las"), dir_->file("surveys"), name, 8);
        }
    }
    static void TearDownTestSuite() { delete dir_; }
    void SetUp() override {
        if (const std::string why = cannotDriveViewer(); !why.empty())
            GTEST_SKIP() << why;
        if (std::system("bash -c 'exec 3<>/dev/tcp/127.0.0.1/10488' 2>/dev/null") == 0)
            GTEST_SKIP() << "port 10488, the viewer's server port, is in use by another program";
    }
    // Opens a survey by name, presses `keys` once it draws and returns the settled image.
    static Image openSettled(std::unique_ptr<ViewerProcess>& v, const std::string& name,
                             const std::string& keys) {
        v = std::make_unique<ViewerProcess>(std::vector<std::string>{"--dataset", name});
        if (v->window.empty() || !v->waitForPositive(kDrawn)) {
            ADD_FAILURE() << name << " drew nothing:\n" << v->log();
            return {};
        }
        v->key(keys);
        return v->settledScreenshot();
    }
    static inline TempDir* dir_ = nullptr;
};

// One viewer run: no server at first, then the scene chosen from the server's list and drawn in every colour
// mode, and the server going away meanwhile.
TEST_F(Viewer, SceneColourModesAndServerLoss) {
    ViewerProcess v({});
    ASSERT_FALSE(v.window.empty()) << v.log();
    for (const char* line :
         {"Initializing shaders", "Cannot reach the point server at http://127.0.0.1:10488/"})
        ASSERT_TRUE(v.proc->waitForOutput(line, 20)) << v.log();
    auto server = std::make_unique<LocalPointServer>(dir_->file("data"), 0, 10488);
    ASSERT_TRUE(v.proc->waitForOutput("The point server lists 1 data set(s).", 30)) << v.log();
    sleepMs(500);
    v.click(20, 6);
    ASSERT_TRUE(v.waitForPositive(kDrawn + ", retrieval speed: ([0-9]+)")) << v.log();
    // LAS colours (the default), Normals, Depth, the modes by attribute (tested below), OFF.
    const Image las = v.screenshot();
    ASSERT_TRUE(las.width == 1024 && las.height == 768) << las.width << " x " << las.height;
    const auto after = [&](const char* keys) { return v.key(keys), coverage(v.screenshot()); };
    const Coverage c = coverage(las), normals = after("m"), depth = after("m"), off = after("m m m m m");
    EXPECT_GT(c.lit, las.pixels() / 20) << "the scene covers little of the window";
    EXPECT_GT(c.greenish, c.lit / 10);           // vegetation and grass of the synthetic scene
    EXPECT_GT(normals.blueish, normals.lit / 2); // upward normals: blue dominates
    EXPECT_TRUE(depth.lit > 0 && depth.grey == depth.lit) << depth.grey << " of " << depth.lit;
    EXPECT_TRUE(off.grey > off.lit * 9 / 10 && off.greenish == 0) << "plain lit surfaces";
    EXPECT_NE(v.out().find("Changed to Return color mode.\nChanged to OFF color mode."), std::string::npos);
    server.reset(); // the viewer keeps drawing what it has
    sleepMs(1500);
    EXPECT_GT(coverage(v.screenshot()).lit, 0u);
    v.quit(2);
}

// A survey without colour opens in "Elevation", framed from its own proportions; seen from above (key y)
// each mode by attribute colours the known regions as its legend says, eye-dome lighting outlines the roof,
// and a point budget below the data set holds the splats drawn to it.
TEST_F(Viewer, ColourModesByAttributeOnAKnownLayout) {
    LocalPointServer server(dir_->file("surveys"), 0, 10488);
    std::unique_ptr<ViewerProcess> v;
    const Image elevation = openSettled(v, "Layout", "g y"); // the panel hidden, seen from above
    ASSERT_FALSE(elevation.rgba.empty());
    const Box box(elevation);
    ASSERT_TRUE(box.width() > elevation.width / 3 && box.height() > elevation.height / 3)
        << "the data set should fill most of the window";
    // From above x runs down, y right: low ground is violet, the roof yellow.
    const Rgb low = meanAround(elevation, box, 0.75, 0.1), roof = meanAround(elevation, box, 0.25, 0.8);
    EXPECT_GT(low.b, low.g + 40) << "violet: " << low;
    EXPECT_GT(roof.r + roof.g, 2.5 * roof.b) << "yellow: " << roof;
    v->key("m");
    const Image intensity = v->settledScreenshot();
    const Rgb dim = meanAround(intensity, box, 0.15, 0.5), bright = meanAround(intensity, box, 0.85, 0.5);
    for (const Rgb& c : {dim, bright})
        EXPECT_TRUE(std::abs(c.r - c.g) < 3 && std::abs(c.g - c.b) < 3) << "intensity is grey: " << c;
    EXPECT_GT(bright.g, dim.g + 80) << dim << " " << bright;
    // Classes, then returns, by quadrant as their legends colour them: channel a above channel b by at least
    // a margin, and channel c above d (0 red, 1 green, 2 blue).
    // clang-format off
    const struct { const char* what; double fx, fy; int a, b, ab, c, d, cd; } legend[8] = {
        {"ground is brown", 0.25, 0.25, 0, 1, 0, 1, 2, 20}, {"high vegetation is green", 0.75, 0.25, 1, 0, 40, 1, 2, 40},
        {"building is red", 0.25, 0.75, 0, 1, 60, 0, 2, 60}, {"water is blue", 0.75, 0.75, 2, 0, 60, 2, 1, 30},
        {"single returns are yellow", 0.25, 0.25, 0, 2, 60, 1, 2, 60},
        {"intermediate returns are green", 0.75, 0.25, 1, 0, 40, 1, 2, 40},
        {"first returns are red", 0.25, 0.75, 0, 1, 60, 0, 2, 60},
        {"last returns are blue", 0.75, 0.75, 2, 0, 60, 2, 1, 30}};
    // clang-format on
    Image returns;
    for (int i = 0; i < 8; ++i) {
        if (i % 4 == 0)
            v->key("m"), returns = v->settledScreenshot();
        const auto& q = legend[i];
        const Rgb c = meanAround(returns, box, q.fx, q.fy);
        EXPECT_TRUE(c[q.a] > c[q.b] + q.ab && c[q.c] > c[q.d] + q.cd) << q.what << ": " << c;
    }
    // Eye-dome lighting darkens the ground along the roof's edges and leaves open ground as it was.
    v->key("e");
    const Image edl = v->settledScreenshot();
    size_t darkened = 0;
    for (int y = box.y0; y <= box.y1; ++y)
        for (int x = box.x0; x <= box.x1; ++x) {
            const uint8_t *a = returns.at(x, y), *b = edl.at(x, y);
            darkened += b[0] + b[1] + b[2] < (a[0] + a[1] + a[2]) * 2 / 3;
        }
    EXPECT_GT(darkened, size_t(box.width() / 2)) << "no outline";
    EXPECT_LT(darkened, size_t(box.width()) * size_t(box.height()) / 10) << "darkened far from any edge";
    EXPECT_NEAR(meanAround(edl, box, 0.75, 0.75).b, meanAround(returns, box, 0.75, 0.75).b, 25);
    // Halving the budget nine times leaves 3,000,000 / 2^8 = 11,718 and then the floor of 10,000 splats.
    for (int i = 0; i < 9; ++i)
        v->key("bracketleft");
    ASSERT_TRUE(v->proc->waitForOutput("Point budget 10000 splats.", 10)) << v->out();
    const size_t from = v->out().size();
    std::vector<std::vector<std::string>> lines;
    v->waitUntil(30, [&] { return (lines = v->matches(kDrawn + ",[^\n]*", from)).size() >= 3; });
    EXPECT_GE(lines.size(), 2u) << v->out().substr(from);
    for (size_t i = 1; i < lines.size(); ++i) { // the first may average frames from before the budget
        EXPECT_LE(std::stol(lines[i][1]), 10000) << lines[i][0];
        EXPECT_NE(lines[i][0].find("holds detail back"), std::string::npos) << lines[i][0];
    }
    v->quit();
}

// A metre is a metre on every axis: a sphere whose z scale factor is ten times finer than x and y's is
// drawn round. Data sets ten times taller than wide and a thousand times wider than tall both fill the
// window and stay inside it. The viewer is started away from its resources (its screenshots land there).
TEST_F(Viewer, TrueProportionsAndFraming) {
    LocalPointServer server(dir_->file("surveys"), 0, 10488);
    struct Cwd {
        std::filesystem::path was = std::filesystem::current_path();
        ~Cwd() { std::filesystem::current_path(was); }
    } restore;
    std::filesystem::current_path(dir_->path());
    for (const std::string name : {"Sphere", "Tower", "Plain"}) {
        SCOPED_TRACE(name);
        std::unique_ptr<ViewerProcess> v;
        const Image img = openSettled(v, name, "g");
        ASSERT_FALSE(img.rgba.empty());
        const Box box(img);
        // The framing fits the data set's box; a sphere fills less of it than a tower or a plain.
        EXPECT_GT(std::max(double(box.width()) / img.width, double(box.height()) / img.height),
                  name == "Sphere" ? 0.25 : 0.45)
            << "box " << box.width() << " x " << box.height();
        EXPECT_TRUE(box.x0 > 0 && box.y0 > 0 && box.x1 < img.width - 1 && box.y1 < img.height - 1)
            << "cut off at the window's edge: " << box.x0 << " " << box.y0 << " " << box.x1 << " " << box.y1;
        const double ratio = double(box.width()) / box.height();
        EXPECT_TRUE(name != "Sphere" || std::abs(ratio - 1) < 0.08)
            << "the sphere's width / height " << ratio;
        EXPECT_TRUE(name != "Tower" || ratio < 0.5) << "the tower's width / height " << ratio;
        v->quit();
    }
}

} // namespace
