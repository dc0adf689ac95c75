// Camera and key handling of the viewer, with synthetic SDL events and explicit times: held keys move by
// elapsed time whatever the frame rate, the wheel, the view reset, and quitting.
#include "EventHandler.h"

#include "support/CaptureStdout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

SDL_Event key(Uint32 type, SDL_Keycode sym) {
    SDL_Event e{};
    e.type = type;
    e.key.keysym.sym = sym;
    return e;
}

// Holds `sym` from t = 0 to `ms`, with frames every `frameMs`.
GLEventHandler hold(SDL_Keycode sym, int ms, int frameMs) {
    GLEventHandler h;
    EXPECT_FALSE(h.handleEvent(key(SDL_KEYDOWN, sym), 0));
    for (int t = frameMs; t <= ms; t += frameMs)
        h.applyHeldKeys(t);
    h.handleEvent(key(SDL_KEYUP, sym), ms);
    return h;
}

TEST(EventHandler, HeldKeysDependOnTimeNotFrames) {
    for (int frame : {1, 7, 40}) {
        SCOPED_TRACE("frames of " + std::to_string(frame) + " ms");
        const int ms = 840; // a multiple of every frame length
        EXPECT_NEAR(hold(SDLK_q, ms, frame).distance, 12 * std::pow(0.999, ms), 1e-9);
        EXPECT_NEAR(hold(SDLK_a, ms, frame).distance, 12 / std::pow(0.999, ms), 1e-9);
        EXPECT_NEAR(hold(SDLK_KP_PLUS, ms, frame).distance, 12 * std::pow(0.999, ms), 1e-9);
    }
    EXPECT_NEAR(hold(SDLK_q, 1000, 10).distance, 4.41, 0.01);
    EXPECT_NEAR(hold(SDLK_a, 1000, 10).distance, 32.6, 0.1);

    // Moving: 0.001 * distance per millisecond along the key's axis; release stops at once.
    GLEventHandler h = hold(SDLK_l, 500, 10);
    EXPECT_NEAR(h.centre[0], 6.0, 1e-4);
    h.applyHeldKeys(900);
    EXPECT_NEAR(h.centre[0], 6.0, 1e-4);
    EXPECT_NEAR(hold(SDLK_k, 500, 20).centre[1], -6.0, 1e-4);
    EXPECT_NEAR(hold(SDLK_KP_9, 250, 5).centre[2], 3.0, 1e-4);
}

TEST(EventHandler, ReleasingOneMoveKeyKeepsAnotherMoving) {
    GLEventHandler h;
    h.handleEvent(key(SDL_KEYDOWN, SDLK_l), 0);
    h.handleEvent(key(SDL_KEYDOWN, SDLK_i), 0);
    h.applyHeldKeys(100);
    h.handleEvent(key(SDL_KEYUP, SDLK_l), 100);
    h.applyHeldKeys(200);
    EXPECT_NEAR(h.centre[0], 1.2, 1e-5);
    EXPECT_NEAR(h.centre[1], 2.4, 1e-5); // still moving along y
    h.handleEvent(key(SDL_KEYUP, SDLK_i), 200);
    h.applyHeldKeys(300);
    EXPECT_NEAR(h.centre[1], 2.4, 1e-5);
}

// At the pole (the y view, or dragging through 90 degrees) the up vector stays perpendicular to the view.
TEST(EventHandler, CameraAtThePoleAndZoomLimits) {
    GLEventHandler h;
    for (float elevation : {45.0f, 89.0f, 90.0f, 120.0f}) {
        h.elevation = elevation;
        const GLVector3d eye = h.eye(), up = h.up();
        const double view[3] = {h.centre[0] - eye.x, h.centre[1] - eye.y, h.centre[2] - eye.z};
        EXPECT_NEAR(view[0] * up.x + view[1] * up.y + view[2] * up.z, 0, 1e-9) << elevation;
        EXPECT_NEAR(up.x * up.x + up.y * up.y + up.z * up.z, 1, 1e-9);
    }
    h.elevation = 45;
    EXPECT_GT(h.up().z, 0.7); // below the pole the image is the one of (0, 0, 1)
    GLEventHandler zoom = hold(SDLK_q, 60000, 100);
    EXPECT_GE(zoom.distance, kMinDistance);
    EXPECT_GT(zoom.eye().z, 0);
    EXPECT_LE(hold(SDLK_a, 60000, 100).distance, kMaxDistance);
}

TEST(EventHandler, WheelResetAndToggles) {
    GLEventHandler h;
    SDL_Event wheel{};
    wheel.type = SDL_MOUSEWHEEL;
    wheel.wheel.y = 1;
    h.handleEvent(wheel, 0);
    EXPECT_NEAR(h.distance, 12 * 0.9047921471137089, 1e-12);
    wheel.wheel.y = -1;
    h.handleEvent(wheel, 0);
    EXPECT_NEAR(h.distance, 12, 1e-12);

    h.handleEvent(key(SDL_KEYDOWN, SDLK_y), 0);
    const GLVector3d eye = h.eye();
    EXPECT_NEAR(eye.x, -5, 1e-5);
    EXPECT_NEAR(eye.y, 0, 1e-5);
    EXPECT_NEAR(eye.z, 12, 1e-5);

    h.handleEvent(key(SDL_KEYDOWN, SDLK_c), 0);
    h.handleEvent(key(SDL_KEYDOWN, SDLK_g), 0);
    EXPECT_TRUE(h.drawAxes);
    EXPECT_FALSE(h.showPanel);
    StdoutCapture out;
    h.handleEvent(key(SDL_KEYDOWN, SDLK_m), 0);
    EXPECT_EQ(out.take(), "Changed to Normals color mode.\n");
    EXPECT_EQ(h.colorMode, 2u);

    // Dragging turns the camera one degree per pixel; moving without a button does not.
    SDL_Event motion{};
    motion.type = SDL_MOUSEMOTION;
    motion.motion.xrel = 10;
    motion.motion.yrel = -5;
    h.handleEvent(motion, 0);
    EXPECT_EQ(h.azimuth, -90);
    SDL_Event press{};
    press.type = SDL_MOUSEBUTTONDOWN;
    h.handleEvent(press, 0);
    h.handleEvent(motion, 0);
    EXPECT_EQ(h.azimuth, -80);
    EXPECT_EQ(h.elevation, 85);
}

TEST(EventHandler, EscapeAndCloseQuit) {
    GLEventHandler h;
    EXPECT_TRUE(h.handleEvent(key(SDL_KEYDOWN, SDLK_ESCAPE), 0));
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    EXPECT_TRUE(h.handleEvent(quit, 0));
    EXPECT_FALSE(h.handleEvent(key(SDL_KEYDOWN, SDLK_p), 0));
    EXPECT_TRUE(h.screenshotRequested);
}

} // namespace

#include "Viewer.h"

namespace {

// What the viewer refuses to connect to, and why (instead of crashing on the first frame).
TEST(Connection, HeadersThatCannotBeShown) {
    LASHeader good;
    std::memcpy(good.FileSignature, "LASF", 4);
    good.VersionMajor = 1;
    good.VersionMinor = 2;
    good.HeaderSize = good.OffsetToPointData = 227;
    good.PointDataFormatID = 3;
    good.PointDataRecordLength = 34;
    good.ScaleFactor_X = good.ScaleFactor_Y = good.ScaleFactor_Z = 0.01;
    good.Max_X = good.Max_Y = 10;
    good.Min_Z = good.Max_Z = 5; // flat data is fine
    EXPECT_EQ(checkDataset(good, 6), "");

    auto problem = [&](auto change, int levels = 6) {
        LASHeader h = good;
        change(h);
        return checkDataset(h, levels);
    };
    // The words of every LAS entry point (LASHeader::Problem), then the viewer's own level check.
    EXPECT_EQ(problem([](LASHeader& h) { std::memcpy(h.FileSignature, "LASG", 4); }),
              "not a LAS file: it does not begin with the signature \"LASF\"");
    EXPECT_EQ(problem([](LASHeader& h) { h.HeaderSize = 0; }),
              "the header size 0 is smaller than the 227 bytes of a LAS header");
    EXPECT_EQ(problem([](LASHeader& h) { h.PointDataFormatID = 4; }),
              "point data format 4 is not supported (0 to 3 are)");
    EXPECT_EQ(problem([](LASHeader& h) { h.PointDataRecordLength = 30; }),
              "the point record length 30 is shorter than the 34 bytes of point data format 3");
    EXPECT_EQ(problem([](LASHeader& h) { h.ScaleFactor_Y = 0; }),
              "the Y scale factor is 0: it must be a finite number other than 0");
    EXPECT_EQ(problem([](LASHeader& h) { h.ScaleFactor_Z = NAN; }),
              "the Z scale factor is nan: it must be a finite number other than 0");
    EXPECT_EQ(problem([](LASHeader& h) { h.Max_X = INFINITY; }), "the X extent (0 to inf) is not finite");
    EXPECT_EQ(problem([](LASHeader& h) { h.Min_Y = 11; }),
              "the Y extent is inverted: its minimum 11 lies above its maximum 10");
    EXPECT_EQ(problem([](LASHeader&) {}, 0), "level count 0 is outside 1 to 32767");
    EXPECT_EQ(problem([](LASHeader&) {}, 40000), "level count 40000 is outside 1 to 32767");
}

TEST(Connection, ServerArgument) {
    const std::string path = "/Varnel/resources/Server/";
    const std::pair<const char*, std::string> cases[] = {
        {"lidar.example.org", "http://lidar.example.org" + path},
        {"10.0.0.7:8080", "http://10.0.0.7:8080" + path},
        {"http://host:10488", "http://host:10488" + path},
        {"http://host:10488/", "http://host:10488" + path},
        {"https://host/tiles/api", "https://host/tiles/api/"}, // behind a proxy: the path as given
        {"http://host/Varnel/resources/Server/", "http://host" + path},
        {"", ""},
        {"ftp://host", ""},
        {"http://", ""},
        {"http:///x", ""},
        {"host name", ""},
    };
    for (const auto& [given, expected] : cases)
        EXPECT_EQ(serverBaseUrl(given), expected) << given;
}

} // namespace

// Largest |x| and |y| of the box's corners in normalised device coordinates, through the 45° perspective
// and the look-at of the handler's camera, as the frame loop sets them up.
std::pair<double, double> screenExtent(const GLEventHandler& h, double aspect) {
    const GLVector3d eye = h.eye(), up = h.up();
    double f[3] = {h.centre[0] - eye.x, h.centre[1] - eye.y, h.centre[2] - eye.z};
    const double fl = std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]);
    for (double& c : f)
        c /= fl;
    double s[3] = {f[1] * up.z - f[2] * up.y, f[2] * up.x - f[0] * up.z, f[0] * up.y - f[1] * up.x};
    const double sl = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    for (double& c : s)
        c /= sl;
    const double u[3] = {s[1] * f[2] - s[2] * f[1], s[2] * f[0] - s[0] * f[2], s[0] * f[1] - s[1] * f[0]};
    const double cot = 1 / std::tan(22.5 * M_PI / 180);
    double mx = 0, my = 0;
    for (int corner = 0; corner < 8; ++corner) {
        double p[3];
        for (int k = 0; k < 3; ++k)
            p[k] = h.frameBox[2 * k + ((corner >> k) & 1)] - (k == 0 ? eye.x : k == 1 ? eye.y : eye.z);
        const double depth = p[0] * f[0] + p[1] * f[1] + p[2] * f[2];
        EXPECT_GT(depth, 0.1) << "corner " << corner << " behind the near plane";
        mx = std::max(mx, std::abs((p[0] * s[0] + p[1] * s[1] + p[2] * s[2]) * cot / aspect / depth));
        my = std::max(my, std::abs((p[0] * u[0] + p[1] * u[1] + p[2] * u[2]) * cot / depth));
    }
    return {mx, my};
}

// Whatever the data set's proportions, opening it and key y show all of it filling most of the window.
TEST(EventHandler, FramingFillsTheWindow) {
    struct Case {
        const char* what;
        double box[6];
        double aspect;
    } cases[] = {
        {"demo scene", {-4.27, 4.27, -4.27, 4.27, -0.5, 0.5}, 4.0 / 3},
        {"height ten times the footprint", {-2, 2, -2, 2, -20, 20}, 4.0 / 3},
        {"footprint a thousand heights", {-50, 50, -25, 25, -0.05, 0.05}, 16.0 / 9},
        {"long strip", {-50, 50, -1, 1, -0.5, 0.5}, 4.0 / 3},
        {"off-centre box", {10, 14, -7, -3, 1, 2}, 1.0},
    };
    for (const Case& c : cases) {
        GLEventHandler h;
        h.setFrame(c.box, c.aspect);
        EXPECT_EQ(h.azimuth, 45); // the initial direction is kept
        for (bool top : {false, true}) {
            if (top)
                h.handleEvent(key(SDL_KEYDOWN, SDLK_y), 0);
            for (int k = 0; k < 3; ++k)
                EXPECT_FLOAT_EQ(h.centre[k], float((c.box[2 * k] + c.box[2 * k + 1]) / 2)) << c.what;
            const auto [x, y] = screenExtent(h, c.aspect);
            EXPECT_LE(std::max(x, y), 0.9 + 1e-6) << c.what << (top ? " from above" : "");
            EXPECT_GE(std::max(x, y), 0.7)
                << c.what << (top ? " from above" : "") << ": distance " << h.distance;
        }
        EXPECT_EQ(h.elevation, 90);
    }
    // A box that the fixed distance already frames keeps it: the familiar view of data sets like the
    // one it was made for.
    GLEventHandler h;
    const double box[6] = {-4.27, 4.27, -4.27, 4.27, -0.5, 0.5};
    h.setFrame(box, 4.0 / 3);
    h.handleEvent(key(SDL_KEYDOWN, SDLK_y), 0);
    EXPECT_EQ(h.distance, 12);
}
