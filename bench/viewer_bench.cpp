// Viewer figures on the GL of this machine: the frame time of the three splat passes with 1 and 4
// million splats on screen against one plain GL_POINTS pass over the same points in the same context,
// and the time from choosing the demo scene to its settled image (streamed from the real point server
// over loopback, drawn every frame). Needs a display (Xvfb).
#include "DatasetImport.h"
#include "DatasetStore.h"
#include "LASHeader.h"
#include "LODGrid.h"
#include "PointServer.h"
#include "RenderSelectionThread.h"
#include "Renderer.h"
#include "ServerRetriever.h"
#include "SplatCacheThread.h"
#include "SplatTile.h"
#include "SyntheticScene.h"
#include "ViewMath.h"

#include "support/HiddenGLWindow.h"

#include <GL/glu.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int W = 1024, H = 768;

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Camera above the middle of a data set looking down at all of it; returns the pixel factor.
double lookAtAll(double height) {
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(45.0, double(W) / H, 0.1, height * 4);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    gluLookAt(0, -height * 0.3, height, 0, 0, 0, 0, 0, 1);
    uploadModelView();
    uploadInverse();
    extractFrustum(projMatrix, modelViewMatrix);
    setCameraPosition(0, float(-height * 0.3), float(height));
    return projMatrix[5] * 384.0;
}

// n splats on a gently rolling surface, uploaded as level 0 of every tile of a selection without a server.
struct Scene {
    LASHeader header;
    RenderSelectionThread* selection = nullptr;
    std::vector<Splat> all;

    explicit Scene(uint32_t n) {
        const double side = std::sqrt(double(n)) * 0.25; // metres, four points per square metre
        header.NumberOfPointRecords = n;
        header.PointDataFormatID = 0;
        header.PointDataRecordLength = 20;
        header.ScaleFactor_X = header.ScaleFactor_Y = header.ScaleFactor_Z = 0.01;
        header.Max_X = header.Max_Y = side;
        header.Max_Z = side / 10;
        std::memcpy(header.FileSignature, "LASF", 4);
        const uint32_t row = uint32_t(std::sqrt(double(n)));
        for (uint32_t i = 0; i < n; ++i) {
            const double x = (i % row + 0.5) * side / row, y = (i / row + 0.5) * side / row;
            const double z = side / 20 * (1 + std::sin(x / side * 6) * std::cos(y / side * 5));
            all.push_back(Splat{int32_t(x * 100), int32_t(y * 100), int32_t(z * 100), 0.1f, 0.05f, 1.0f});
        }
        selection = new RenderSelectionThread("bench", &header, 384.0, 0, 1.0);
        LODGrid& grid = *selection->grid;
        auto& tiles = *selection->cache->getTiles();
        for (auto& t : tiles)
            t.addLOD();
        for (const Splat& s : all)
            tiles.at(size_t(grid.getSplatTile(s.x, s.y))).addSplat(s);
        for (uint32_t t = 0; t < tiles.size(); ++t) {
            tiles[t].normalizeSplats(0, &grid, 0);
            tiles[t].update(&selection->renderTiles[t], 0);
        }
        selection->cache->updateVBOs(0);
        for (uint32_t t = 0; t < tiles.size(); ++t) { // as when the request comes back: drawn, settled
            selection->renderTiles[t].requestedLOD = 0;
            selection->renderTiles[t].setLOD(unsigned(tiles[t].splats.size()));
        }
        selection->levelRadius[0] = 1.5 * std::sqrt(grid.getTileSize() * tiles.size() / n / 3.1415927410125732);
        globalModelScale = grid.normalisingScale;
        const int offsets[3] = {int(grid.centreOffset[0]), int(grid.centreOffset[1]), int(grid.centreOffset[2])};
        initModelUniforms(globalModelScale, offsets);
    }
    ~Scene() { delete selection; }
};

double coverage = 0; // of the window by the last deferred frame

double deferredFrame(Scene& s, int frames) {
    SDL_GL_SwapWindow(SDL_GL_GetCurrentWindow());
    drawSplatPasses(s.selection, W, H, 0, true, 1.3f, 1.0f, 1.0, 0, 1, false);
    glFinish();
    const auto t0 = Clock::now();
    int drawn = 0;
    for (int i = 0; i < frames; ++i)
        drawn = drawSplatPasses(s.selection, W, H, 0, true, 1.3f, 1.0f, 1.0, 0, 1, false);
    glFinish();
    const double t = since(t0) / frames;
    if (drawn != int(s.all.size()))
        std::fprintf(stderr, "viewer: %d of %zu splats drawn\n", drawn, s.all.size());
    std::vector<unsigned char> px(size_t(W) * H * 4);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, W, H, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
    size_t lit = 0;
    for (size_t i = 0; i < px.size(); i += 4)
        lit += px[i] + px[i + 1] + px[i + 2] > 30;
    coverage = double(lit) / (double(W) * H);
    return t;
}

// The same points, one pass, fixed function, into the window.
double plainFrame(Scene& s, int frames) {
    GLuint vbo = 0;
    glGenBuffers(1, &vbo);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(s.all.size() * sizeof(Splat)), s.all.data(), GL_STATIC_DRAW);
    LODGrid& grid = *s.selection->grid;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glScaled(grid.normalisingScale, grid.normalisingScale, grid.normalisingScale);
    glTranslated(grid.centreOffset[0], grid.centreOffset[1], grid.centreOffset[2]);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(3, GL_INT, sizeof(Splat), nullptr);
    glEnable(GL_DEPTH_TEST);
    glPointSize(2);
    auto draw = [&] {
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glDrawArrays(GL_POINTS, 0, GLsizei(s.all.size()));
    };
    draw();
    glFinish();
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i)
        draw();
    glFinish();
    const double t = since(t0) / frames;
    glDisableClientState(GL_VERTEX_ARRAY);
    glPopMatrix();
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glDeleteBuffers(1, &vbo);
    return t;
}

// Seconds from connecting to the demo scene until nothing more is fetched and every tile is settled,
// drawing every frame as the viewer does.
double demoToSettled(const std::string& dir) {
    const std::string las = dir + "/demo-scene.las", data = dir + "/demo-data";
    if (!std::filesystem::exists(las))
        writeSyntheticLAS(las, SynthOptions{2000000, 3, 1});
    if (!std::filesystem::exists(data + "/" + datasetDirName("Demo survey")))
        importDataset(las, data, "Demo survey", 16);
    PointServer server(std::make_shared<DatasetStore>(DatasetStore::load(data)));
    const int port = server.bind("127.0.0.1", 0);
    std::thread serving([&] { server.run(); });
    DEFAULT_SERVER = "http://127.0.0.1:" + std::to_string(port) + "/Varnel/resources/Server/";

    const auto t0 = Clock::now();
    datasetName = "Demo survey";
    LASHeader header;
    int levels = 0;
    ServerRetriever().retrieveMetadata(header, levels);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(45.0, double(W) / H, 0.1, 30.0);
    auto* sel = new RenderSelectionThread("Demo survey", &header, projMatrix[5] * 384.0, short(levels - 1), 1.0);
    GLfloat p[16];
    glGetFloatv(GL_PROJECTION_MATRIX, p);
    sel->pixelFactor = p[5] * 384.0;
    globalModelScale = sel->grid->normalisingScale;
    const int offsets[3] = {int(sel->grid->centreOffset[0]), int(sel->grid->centreOffset[1]), int(sel->grid->centreOffset[2])};
    initModelUniforms(globalModelScale, offsets);
    const double height = 12 * 0.7071; // the viewer's start: distance 12, elevation 45 degrees
    sel->setCameraPosition({0, -height * 0.3, height});
    sel->Start();
    lookAtAll(height);
    int still = 0;
    double settled = -1;
    for (long frame = 1; settled < 0 && since(t0) < 600; ++frame) {
        sel->cache->updateVBOs(frame);
        drawSplatPasses(sel, W, H, 1, true, 1.3f, 1.0f, 1.0, 0, levels, true);
        SDL_GL_SwapWindow(SDL_GL_GetCurrentWindow());
        sel->lock.Lock();
        bool quiet = sel->handled.empty();
        sel->lock.Unlock();
        quiet = quiet && !sel->dirty && sel->cache->countRequests() == 0;
        for (const RenderTile& rt : sel->renderTiles)
            quiet = quiet && rt.state == RenderTile::Settled && !(*sel->cache->getTiles())[rt.tileIndex].receiving &&
                    !(*sel->cache->getTiles())[rt.tileIndex].uploadPending;
        still = quiet ? still + 1 : 0;
        if (still == 3)
            settled = since(t0);
    }
    delete sel;
    server.stop();
    serving.join();
    return settled;
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "bench-data";
    std::filesystem::create_directories(dir);
    const std::string absDir = std::filesystem::absolute(dir).string();
    std::filesystem::current_path(std::filesystem::read_symlink("/proc/self/exe").parent_path()); // Shaders/
    HiddenGLWindow gl(W, H);
    if (!gl.skipReason.empty()) {
        std::fprintf(stderr, "viewer: %s\n", gl.skipReason.c_str());
        return 1;
    }
    glViewport(0, 0, W, H);
    std::ostringstream quiet;
    std::streambuf* out = std::cout.rdbuf(quiet.rdbuf());
    initShaders(true);
    renderSettings.init();
    initTexturesAndBuffers(W, H);
    DEFAULT_SERVER.clear(); // the synthetic scenes are not fetched
    std::cout.rdbuf(out);

    std::printf("viewer: %s\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
    for (uint32_t n : {1000000u, 4000000u}) {
        std::cout.rdbuf(quiet.rdbuf());
        Scene scene(n);
        lookAtAll(std::sqrt(double(n)) * 25.0 * scene.selection->grid->normalisingScale * 1.2); // raw cm
        const int frames = n > 2000000 ? 2 : 3;
        const double deferred = deferredFrame(scene, frames);
        const double plain = plainFrame(scene, frames);
        std::cout.rdbuf(out);
        std::printf("viewer: %u splats on screen (%.0f%% of the window): three passes %.0f ms a frame, plain "
                    "GL_POINTS %.0f ms; ratio %.2f\n",
                    n, coverage * 100, deferred * 1000, plain * 1000, deferred / plain);
    }
    std::cout.rdbuf(quiet.rdbuf());
    const double settle = demoToSettled(absDir);
    std::cout.rdbuf(out);
    std::printf("viewer: demo scene (2,000,000 points) from choosing it to its settled image: %.1f s\n", settle);
    return 0;
}
