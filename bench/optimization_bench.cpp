// Per-surface cost of the optimisation stages against the splat count: setup (prepareRTT), texture
// (render-to-texture with transform feedback) and triangulation (in the surface's plane, index checks,
// vertex-cache order), with the bare Delaunay triangulation of the same points as the baseline. Needs GL
// (a display or Xvfb). Usage: pontaro_bench_optimization [SHADER_DIR]
#include "LODTree.h"
#include "RenderToTexture.h"
#include "Triangulation.h"
#include "TriangulationOptimizationRequest.h"

#include "support/HiddenGLWindow.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <random>
#include <sstream>

namespace {

double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

int main(int argc, char** argv) {
    HiddenGLWindow gl(64);
    if (!gl.makeCurrent()) {
        std::fprintf(stderr, "optimization bench: %s\n", gl.skipReason.c_str());
        return 1;
    }
    if (!initializeRTTtextures(argc > 1 ? argv[1] : "./Shaders/")) {
        std::fprintf(stderr, "optimization bench: render-to-texture programs unavailable\n");
        return 1;
    }
    std::printf("Surface optimisation stages per surface (one roof of n splats; ms, and µs per splat)\n");
    std::printf("%8s %10s %10s %14s %18s %10s\n", "splats", "setup", "texture", "triangulation", "baseline delaunay",
                "us/splat");
    for (int n : {1000, 4000, 16000, 40000}) {
        LODTree tree("/nonexistent/");
        LODTreeNode& node = *tree.root;
        std::mt19937 rng{uint32_t(n)};
        std::uniform_int_distribution<int> d(0, 100000);
        for (int i = 0; i < n; ++i) {
            node.splats.push_back({d(rng), d(rng), 5000 + d(rng) / 100, 0.05f, 0.1f, 1.0f});
            node.colors.push_back({50000, 30000, 20000});
            node.surfaceIDs.push_back(1);
        }
        TreeFrame frame;
        frame.scale[0] = frame.scale[1] = frame.scale[2] = 1e-5;
        // The stages' messages are not part of the figures.
        std::stringstream sink;
        std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
        TriangulationOptimizationRequest r(&node, frame, 0.003f, true, 0);
        auto t = std::chrono::steady_clock::now();
        r.setup();
        const double setupMs = msSince(t);
        t = std::chrono::steady_clock::now();
        r.generateTextures(1e9f);
        glFinish();
        const double textureMs = msSince(t);
        t = std::chrono::steady_clock::now();
        r.triangulateSurfaces();
        const double triangulationMs = msSince(t);
        std::vector<unsigned> indices;
        t = std::chrono::steady_clock::now();
        triangulateSplats(node.splats, indices, false);
        const double baselineMs = msSince(t);
        r.releaseGL();
        std::cout.rdbuf(old);
        std::printf("%8d %10.2f %10.2f %14.2f %18.2f %10.2f\n", n, setupMs, textureMs, triangulationMs, baselineMs,
                    (setupMs + textureMs + triangulationMs) * 1e3 / n);
    }
    releaseRTTtextures();
    return 0;
}
