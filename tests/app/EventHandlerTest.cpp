// Camera and key handling of the viewer with synthetic SDL events and explicit times, the framing of a
// data set, and what the viewer refuses to connect to.
#include "EventHandler.h"
#include "Viewer.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <tuple>

namespace {

SDL_Event event(Uint32 type, SDL_Keycode sym = 0) {
    SDL_Event e{};
    e.type = type;
    e.key.keysym.sym = sym;
    return e;
}

// Holds `sym` from t = 0 to `ms`, with frames every `frameMs`.
GLEventHandler hold(SDL_Keycode sym, int ms, int frameMs) {
    GLEventHandler h;
    EXPECT_FALSE(h.handleEvent(event(SDL_KEYDOWN, sym), 0));
    for (int t = frameMs; t <= ms; t += frameMs)
        h.applyHeldKeys(t);
    h.handleEvent(event(SDL_KEYUP, sym), ms);
    return h;
}

// Held keys zoom by 0.999 and move by 0.001 * distance per millisecond whatever the frame rate; release
// stops at once, one key at a time.
TEST(EventHandler, HeldKeysDependOnTimeNotFrames) {
    const auto value = [](const GLEventHandler& h, int k) {
        return k < 3 ? double(h.centre[k]) : h.distance;
    };
    // clang-format off
    const struct { SDL_Keycode key; int what; double expected, tolerance; } cases[] = {
        {SDLK_q, 3, 12 * std::pow(0.999, 1000), 1e-9}, {SDLK_a, 3, 12 / std::pow(0.999, 1000), 1e-9},
        {SDLK_l, 0, 12, 1e-3}, {SDLK_k, 1, -12, 1e-3}, {SDLK_KP_9, 2, 12, 1e-3}};
    // clang-format on
    for (int frame : {1, 40})
        for (const auto& c : cases)
            EXPECT_NEAR(value(hold(c.key, 1000, frame), c.what), c.expected, c.tolerance)
                << "key " << c.key << ", frames of " << frame << " ms";
    GLEventHandler h = hold(SDLK_l, 500, 10);
    h.applyHeldKeys(900);
    EXPECT_NEAR(h.centre[0], 6.0, 1e-4);
    GLEventHandler two;
    two.handleEvent(event(SDL_KEYDOWN, SDLK_l), 0), two.handleEvent(event(SDL_KEYDOWN, SDLK_i), 0);
    two.applyHeldKeys(100), two.handleEvent(event(SDL_KEYUP, SDLK_l), 100);
    two.applyHeldKeys(200), two.handleEvent(event(SDL_KEYUP, SDLK_i), 200);
    two.applyHeldKeys(300);
    EXPECT_NEAR(two.centre[0], 1.2, 1e-5);
    EXPECT_NEAR(two.centre[1], 2.4, 1e-5) << "releasing one move key stopped the other";
}

// At the pole (the y view, or dragging through 90 degrees) the up vector stays perpendicular to the view;
// zoom stays within its limits.
TEST(EventHandler, CameraZoomLimitsWheelAndDrag) {
    GLEventHandler h;
    for (float elevation : {45.0f, 90.0f, 120.0f}) {
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
    // The wheel, key y's view, dragging (one degree per pixel, only with a button), quitting.
    SDL_Event wheel = event(SDL_MOUSEWHEEL);
    for (int y : {1, -1}) {
        wheel.wheel.y = y;
        h.handleEvent(wheel, 0);
        EXPECT_NEAR(h.distance, y == 1 ? 12 * 0.9047921471137089 : 12, 1e-12);
    }
    h.handleEvent(event(SDL_KEYDOWN, SDLK_y), 0);
    const GLVector3d eye = h.eye();
    EXPECT_NEAR(std::hypot(eye.x + 5, eye.y, eye.z - 12), 0, 1e-5) << "key y looks from (-5, 0, 12)";
    SDL_Event motion = event(SDL_MOUSEMOTION);
    motion.motion.xrel = 10, motion.motion.yrel = -5;
    h.handleEvent(motion, 0);
    EXPECT_EQ(h.azimuth, -90);
    h.handleEvent(event(SDL_MOUSEBUTTONDOWN), 0);
    h.handleEvent(motion, 0);
    EXPECT_EQ(h.azimuth, -80);
    EXPECT_EQ(h.elevation, 85);
    EXPECT_TRUE(h.handleEvent(event(SDL_KEYDOWN, SDLK_ESCAPE), 0));
    EXPECT_TRUE(h.handleEvent(event(SDL_QUIT), 0));
}

// Largest |x| and |y| of the frame box's corners in normalised device coordinates, through the 45°
// perspective and the look-at of the handler's camera, as the frame loop sets them up. The up vector is a
// unit perpendicular to the view (checked above): gluLookAt's side is f × up / |f| and its up is up itself.
std::pair<double, double> screenExtent(const GLEventHandler& h, double aspect) {
    using V = std::array<double, 3>;
    const auto dot = [](V a, V b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
    const GLVector3d e = h.eye(), u = h.up();
    const V eye{e.x, e.y, e.z}, up{u.x, u.y, u.z}, f{h.centre[0] - e.x, h.centre[1] - e.y, h.centre[2] - e.z};
    const V side{f[1] * u.z - f[2] * u.y, f[2] * u.x - f[0] * u.z, f[0] * u.y - f[1] * u.x};
    const double length = std::sqrt(dot(f, f)), cot = 1 / std::tan(22.5 * M_PI / 180);
    double mx = 0, my = 0;
    for (int corner = 0; corner < 8; ++corner) {
        V p;
        for (int k = 0; k < 3; ++k)
            p[k] = h.frameBox[2 * k + ((corner >> k) & 1)] - eye[k];
        const double depth = dot(p, f) / length;
        EXPECT_GT(depth, 0.1) << "corner " << corner << " behind the near plane";
        mx = std::max(mx, std::abs(dot(p, side) / length * cot / aspect / depth));
        my = std::max(my, std::abs(dot(p, up) * cot / depth));
    }
    return {mx, my};
}

// Whatever the data set's proportions, opening it and key y show all of it filling most of the window; a
// box that the fixed distance already frames keeps that distance.
TEST(EventHandler, FramingFillsTheWindow) {
    // clang-format off
    const struct { const char* what; double box[6]; double aspect; } cases[] = {
        {"demo scene", {-4.27, 4.27, -4.27, 4.27, -0.5, 0.5}, 4.0 / 3},
        {"height ten times the footprint", {-2, 2, -2, 2, -20, 20}, 4.0 / 3},
        {"footprint a thousand heights", {-50, 50, -25, 25, -0.05, 0.05}, 16.0 / 9},
        {"off-centre box", {10, 14, -7, -3, 1, 2}, 1.0}};
    // clang-format on
    for (const auto& c : cases) {
        GLEventHandler h;
        h.setFrame(c.box, c.aspect);
        EXPECT_EQ(h.azimuth, 45); // the initial direction is kept
        for (bool top : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (top ? " from above" : ""));
            if (top)
                h.handleEvent(event(SDL_KEYDOWN, SDLK_y), 0);
            for (int k = 0; k < 3; ++k)
                EXPECT_FLOAT_EQ(h.centre[k], float((c.box[2 * k] + c.box[2 * k + 1]) / 2));
            const auto [x, y] = screenExtent(h, c.aspect);
            EXPECT_LE(std::max(x, y), 0.9 + 1e-6);
            EXPECT_GE(std::max(x, y), 0.7) << "distance " << h.distance;
        }
        EXPECT_EQ(h.elevation, 90);
        EXPECT_TRUE(&c != &cases[0] || h.distance == 12) << "the demo scene keeps the fixed distance";
    }
}

// Headers the viewer refuses to show, in the words of every LAS entry point (their catalogue is the LAS
// header's own), then its own level check; flat data is fine.
TEST(Connection, HeadersAndServerArgument) {
    LASHeader good;
    std::memcpy(good.FileSignature, "LASF", 4);
    good.VersionMajor = 1, good.VersionMinor = 2, good.PointDataFormatID = 3, good.PointDataRecordLength = 34;
    good.HeaderSize = good.OffsetToPointData = 227;
    good.ScaleFactor_X = good.ScaleFactor_Y = good.ScaleFactor_Z = 0.01;
    good.Max_X = good.Max_Y = 10, good.Min_Z = good.Max_Z = 5;
    LASHeader signature = good, scale = good, inverted = good;
    std::memcpy(signature.FileSignature, "LASG", 4);
    scale.ScaleFactor_Z = NAN, inverted.Min_Y = 11;
    const std::tuple<const LASHeader&, int, std::string> cases[] = {
        {good, 6, ""},
        {signature, 6, "not a LAS file: it does not begin with the signature \"LASF\""},
        {scale, 6, "the Z scale factor is nan: it must be a finite number other than 0"},
        {inverted, 6, "the Y extent is inverted: its minimum 11 lies above its maximum 10"},
        {good, 40000, "level count 40000 is outside 1 to 32767"}};
    for (const auto& [header, levels, problem] : cases)
        EXPECT_EQ(checkDataset(header, levels), problem) << levels;
    // The server argument: a host, a URL, or a URL with a path of its own.
    const std::string path = "/Varnel/resources/Server/";
    const std::pair<const char*, std::string> urls[] = {
        {"lidar.example.org", "http://lidar.example.org" + path},
        {"http://host:10488/", "http://host:10488" + path},
        {"https://host/tiles/api", "https://host/tiles/api/"}, // behind a proxy: the path as given
        {"http://host/Varnel/resources/Server/", "http://host" + path}};
    for (const auto& [given, expected] : urls)
        EXPECT_EQ(serverBaseUrl(given), expected) << given;
    for (const char* refused : {"", "ftp://host", "http://", "http:///x", "host name"})
        EXPECT_EQ(serverBaseUrl(refused), "") << refused;
}

} // namespace
