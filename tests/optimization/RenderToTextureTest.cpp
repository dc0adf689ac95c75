// The view and texture size chosen for a surface (no GL).
#include "RenderToTexture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

struct Clip {
    double x, y, z;
};

// Where the setup's matrices put a splat, as the GL would with w = 1.
Clip project(const RenderToTextureSetup& s, const TreeFrame& frame, const Splat& splat) {
    const GLVector3d p = frame.normalised(splat);
    double eye[4];
    for (int r = 0; r < 4; ++r)
        eye[r] = s.modelView[r] * p.x + s.modelView[4 + r] * p.y + s.modelView[8 + r] * p.z + s.modelView[12 + r];
    double clip[4];
    for (int r = 0; r < 4; ++r)
        clip[r] = s.projection[r] * eye[0] + s.projection[4 + r] * eye[1] + s.projection[8 + r] * eye[2] +
                  s.projection[12 + r] * eye[3];
    EXPECT_DOUBLE_EQ(clip[3], 1.0);
    return {clip[0], clip[1], clip[2]};
}

void expectEveryFinite(const RenderToTextureSetup& s) {
    for (int i = 0; i < 16; ++i) {
        EXPECT_TRUE(std::isfinite(s.modelView[i])) << i;
        EXPECT_TRUE(std::isfinite(s.projection[i])) << i;
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(std::isfinite(s.normal[i]) && std::isfinite(s.centre[i])) << i;
    EXPECT_GE(s.width, 1);
    EXPECT_GE(s.height, 1);
    EXPECT_LE(s.width, RTT_MAX_TEXTURE_SIZE);
    EXPECT_LE(s.height, RTT_MAX_TEXTURE_SIZE);
}

TEST(UpAndRight, FixedNormals) {
    struct Case {
        double n[3], up[3], right[3];
    };
    const Case cases[] = {
        {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}},
        {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}},
        {{0, 1, 0}, {0, 0, 1}, {-1, 0, 0}},
        {{0, 0.6, 0.8}, {0, -0.8, 0.6}, {-1, 0, 0}},
    };
    for (const Case& c : cases) {
        double up[3], right[3];
        calculateUpAndRightVector(c.n, up, right);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(up[i], c.up[i], 1e-12) << "normal " << c.n[0] << " " << c.n[1] << " " << c.n[2];
            EXPECT_NEAR(right[i], c.right[i], 1e-12) << "normal " << c.n[0] << " " << c.n[1] << " " << c.n[2];
        }
    }
}

TEST(UpAndRight, OrthonormalForArbitraryNormals) {
    std::mt19937 rng(7);
    std::normal_distribution<double> g;
    for (int k = 0; k < 200; ++k) {
        double n[3] = {g(rng), g(rng), g(rng)};
        const double l = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (double& v : n)
            v /= l;
        double up[3], right[3];
        calculateUpAndRightVector(n, up, right);
        auto dot = [](const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
        EXPECT_NEAR(dot(up, up), 1, 1e-12);
        EXPECT_NEAR(dot(right, right), 1, 1e-12);
        EXPECT_NEAR(dot(up, n), 0, 1e-12);
        EXPECT_NEAR(dot(right, n), 0, 1e-12);
        EXPECT_NEAR(dot(right, up), 0, 1e-12);
    }
}

TEST(Averages, NormalsWeighEquallyAndZeroNormalsAreIgnored) {
    // A long and a short normal count alike; a zero normal counts not at all.
    const std::vector<Splat> splats = {{0, 0, 0, 10, 0, 0}, {2, 4, 6, 0, 0.5f, 0}, {4, 8, 12, 0, 0, 0}};
    TreeFrame frame;
    frame.offsets[0] = 2, frame.scale[0] = 0.5, frame.scale[2] = 2;
    double n[3], c[3];
    calculateAverages(splats, n, c, frame);
    EXPECT_NEAR(n[0], std::sqrt(0.5), 1e-9);
    EXPECT_NEAR(n[1], std::sqrt(0.5), 1e-9);
    EXPECT_NEAR(n[2], 0, 1e-12);
    EXPECT_DOUBLE_EQ(c[0], (1 + 2 + 3) / 3.0);
    EXPECT_DOUBLE_EQ(c[1], 4);
    EXPECT_DOUBLE_EQ(c[2], 12);
}

std::vector<Splat> square(int count, int side, float nz = 1) {
    std::vector<Splat> splats = {{0, 0, 0, 0, 0, nz}, {side, side, 0, 0, 0, nz}};
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> d(0, side);
    while (int(splats.size()) < count)
        splats.push_back({d(rng), d(rng), 0, 0, 0, nz});
    return splats;
}

TEST(TextureSize, AboutSixTexelsPerSplatAndAtMost8192) {
    RenderToTextureSetup s;
    ASSERT_TRUE(prepareRTT(square(1000, 100), TreeFrame{}, s));
    EXPECT_EQ(s.width, 78);
    EXPECT_EQ(s.height, 78);

    int32_t w = 0, h = 0;
    rttTextureSize(20e6, 1000, 10, w, h); // elongated: a = 100
    EXPECT_EQ(w, 8192);
    EXPECT_EQ(h, int32_t(8192 / 100.0f));
    rttTextureSize(20e6, 10, 1000, w, h); // the same standing up
    EXPECT_EQ(h, 8192);
    EXPECT_EQ(w, 81);
    rttTextureSize(20e6, 1e6, 1, w, h); // so thin that the short side would round to nothing
    EXPECT_EQ(w, 8192);
    EXPECT_EQ(h, 1);
}

TEST(PrepareRTT, DegenerateSurfacesGetFiniteViewsAndUsableSizes) {
    const std::vector<std::vector<Splat>> surfaces = {
        {{5, 5, 5, 0, 0, 1}},                                        // one splat
        {{0, 0, 0, 0, 0, 1}, {10, 0, 0, 0, 0, 1}, {20, 0, 0, 0, 0, 1}}, // collinear
        {{0, 0, 0, 0, 0, 0}, {10, 0, 0, 0, 0, 0}, {0, 10, 0, 0, 0, 0}}, // zero normals
        {{0, 0, 0, 0, 0, 1}, {10, 0, 0, 0, 0, -1}, {0, 10, 0, 0, 0, 1}, {9, 9, 0, 0, 0, -1}}, // cancelling
        {{3, 3, 3, 0, 0, 1}, {3, 3, 3, 0, 0, 1}},                    // coincident
    };
    for (size_t i = 0; i < surfaces.size(); ++i) {
        SCOPED_TRACE(i);
        RenderToTextureSetup s;
        ASSERT_TRUE(prepareRTT(surfaces[i], TreeFrame{}, s));
        expectEveryFinite(s);
        for (const Splat& splat : surfaces[i]) {
            const Clip c = project(s, TreeFrame{}, splat);
            EXPECT_LE(std::abs(c.x), 1.0);
            EXPECT_LE(std::abs(c.y), 1.0);
            EXPECT_LT(std::abs(c.z), 1.0);
        }
    }
    RenderToTextureSetup untouched;
    EXPECT_FALSE(prepareRTT({}, TreeFrame{}, untouched));
    EXPECT_EQ(untouched.width, 0);
}

TEST(PrepareRTT, EverySplatInsideTheTextureAndTheDepthRange) {
    TreeFrame frame;
    frame.offsets[0] = -1000, frame.offsets[1] = 500, frame.offsets[2] = -40;
    frame.scale[0] = frame.scale[1] = frame.scale[2] = 0.01;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> d(0, 2000), bump(-30, 30);
    std::vector<Splat> flatRoof, bothSides, wall;
    for (int i = 0; i < 500; ++i) {
        flatRoof.push_back({1000 + d(rng), d(rng) - 500, 700, 0, 0, 1});
        // A tilted roof with splats above and below its plane.
        const int x = d(rng), y = d(rng);
        bothSides.push_back({x, y, y / 2 + bump(rng), 0, -0.45f, 0.9f});
        wall.push_back({x, 3000 + bump(rng), d(rng), 0, 1, 0});
    }
    // The surface's centre splat lands in the middle of the texture.
    flatRoof.push_back({2000, 500, 700, 0, 0, 1});
    flatRoof.push_back({1000, -500, 700, 0, 0, 1});
    flatRoof.push_back({3000, 1500, 700, 0, 0, 1});
    for (const auto* surface : {&flatRoof, &bothSides, &wall}) {
        RenderToTextureSetup s;
        ASSERT_TRUE(prepareRTT(*surface, frame, s));
        expectEveryFinite(s);
        double nearest = 1, farthest = -1;
        for (const Splat& splat : *surface) {
            const Clip c = project(s, frame, splat);
            // The 5-pixel margin: splat centres stay that far inside the edges.
            EXPECT_LE(std::abs(c.x), 1 - 4.9 / s.width);
            EXPECT_LE(std::abs(c.y), 1 - 4.9 / s.height);
            EXPECT_LT(std::abs(c.z), 1.0);
            nearest = std::min(nearest, c.z), farthest = std::max(farthest, c.z);
        }
        if (surface != &flatRoof) {
            EXPECT_LT(nearest, farthest); // the depth range is used, not collapsed
        }
    }
    RenderToTextureSetup s;
    prepareRTT(flatRoof, frame, s);
    const Clip centre = project(s, frame, flatRoof[500]);
    EXPECT_NEAR(centre.x, 0, 1e-6);
    EXPECT_NEAR(centre.y, 0, 1e-6);
    EXPECT_NEAR(s.normal[2], 1, 1e-12);
}

} // namespace
