// A local tree in the viewer with and without "Optimize surfaces": the frame time of one view drawn with
// the meshes of its optimised nodes against the same view drawn as splats only (the baseline), and the
// whole-node optimisation time per splat the pipeline measured while optimising that view. Needs GL (a
// display or Xvfb); run in the directory that holds Shaders/.
// Usage: pontaro_bench_tree_view TREE_DIR [FRAMES]
#include "EventHandler.h"
#include "Renderer.h"
#include "TreeView.h"
#include "ViewMath.h"
#include "Viewer.h"

#include "support/HiddenGLWindow.h"

#include <GL/glu.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <numeric>
#include <sstream>

namespace {

constexpr int W = 1024, H = 768;

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// One frame as the viewer draws it from its default camera: selection, the optimisation's share, the
// three passes. Returns the splats drawn.
int frame(bool optimize) {
    GLEventHandler view;
    const GLVector3d eye = view.eye(), up = view.up();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const double eyeLength = std::sqrt(eye.x * eye.x + eye.y * eye.y + eye.z * eye.z);
    gluPerspective(45.0, double(W) / double(H), 0.1, eyeLength + largestDim);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    gluLookAt(eye.x, eye.y, eye.z, view.centre[0], view.centre[1], view.centre[2], up.x, up.y, up.z);
    setCameraPosition(float(eye.x), float(eye.y), float(eye.z));
    uploadInverse();
    uploadModelView();
    extractFrustum(projMatrix, modelViewMatrix);
    TreeCamera camera;
    camera.eye = eye;
    loadFrustum(camera.frustum);
    camera.pixelFactor = projMatrix[5] * H / 2.0;
    camera.seconds = nowMs() / 1000.0;
    treeView->update(camera, 1.5);
    bool done[2];
    treeView->optimize(8.0f, optimize, done);
    return drawPasses(W, H, 1, true, 1.3f, 1.0f, treeView->header.hasColor(),
                      [](int pass, bool colors) { return treeView->draw(pass, colors, H, 1.0); });
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pontaro_bench_tree_view TREE_DIR [FRAMES]\n");
        return 2;
    }
    const int frames = argc > 2 ? std::atoi(argv[2]) : 50;
    HiddenGLWindow gl(W, H);
    if (!gl.makeCurrent()) {
        std::fprintf(stderr, "tree view bench: %s\n", gl.skipReason.c_str());
        return 1;
    }
    // The viewer's messages would bury the figures.
    std::ostringstream quiet;
    std::streambuf* out = std::cout.rdbuf(quiet.rdbuf());
    glViewport(0, 0, W, H);
    initShaders(true);
    if (!openTree(argv[1])) {
        std::cout.rdbuf(out);
        std::fprintf(stderr, "tree view bench: cannot open %s\n", argv[1]);
        return 1;
    }
    const int offsets[3] = {int(treeView->selection->space().offset[0]),
                            int(treeView->selection->space().offset[1]),
                            int(treeView->selection->space().offset[2])};
    initModelUniforms(globalModelScale, offsets);
    renderSettings.init();
    initTexturesAndBuffers(W, H);

    // Until the view's nodes are loaded and every node worth it is optimised (quiet for two seconds).
    const double start = nowMs();
    double lastChange = start;
    size_t loaded = 0, optimised = 0;
    while (nowMs() - lastChange < 2000 && nowMs() - start < 600000) {
        frame(true);
        glFinish();
        const size_t l = treeView->selection->loadedNodes(), o = treeView->optimizedNodes();
        if (l != loaded || o != optimised || treeView->pipeline->liveRequests() != 0)
            lastChange = nowMs();
        loaded = l, optimised = o;
    }
    const double settle = (nowMs() - start) / 1000.0;

    auto timed = [&](bool optimize, int& splats) {
        frame(optimize); // the switch's first frame
        glFinish();
        const double t0 = nowMs();
        for (int i = 0; i < frames; ++i)
            splats = frame(optimize);
        glFinish();
        return (nowMs() - t0) / frames;
    };
    int splatsMeshed = 0, splatsOnly = 0;
    const double meshed = timed(true, splatsMeshed);
    const double splatOnly = timed(false, splatsOnly);
    std::cout.rdbuf(out);

    const OptimizationPipeline& p = *treeView->pipeline;
    std::printf("Local tree %s: %zu nodes loaded, %zu optimised (settled in %.1f s)\n", argv[1], loaded,
                optimised, settle);
    std::printf("%-28s %12s %14s\n", "view", "ms/frame", "splats drawn");
    std::printf("%-28s %12.2f %14d\n", "meshes and other splats", meshed, splatsMeshed);
    std::printf("%-28s %12.2f %14d\n", "splats only (baseline)", splatOnly, splatsOnly);
    std::printf("frame time with meshes / splats only: %.2f\n", meshed / splatOnly);
    if (p.optimizationCount() > 0) {
        const uint64_t splats = std::accumulate(p.sizes().begin(), p.sizes().end(), uint64_t(0));
        std::printf("whole-node optimisation: %u nodes measured, %llu splats, average %.4f ms per splat "
                    "(%.2f us), shortest node %u ms\n",
                    p.optimizationCount(), static_cast<unsigned long long>(splats), p.averageTimePerSplat(),
                    p.averageTimePerSplat() * 1000.0, p.shortestTime());
        std::printf("optimisation per splat / one splats-only frame per splat: %.0f\n",
                    p.averageTimePerSplat() / (splatOnly / std::max(splatsOnly, 1)));
    } else {
        std::printf("whole-node optimisation: no node of more than 1,000 splats was measured\n");
    }
    delete treeView; // the pipeline and the nodes' buffers go while the context is current
    treeView = nullptr;
    return 0;
}
