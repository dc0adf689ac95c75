// The pieces of the render selection that need neither GL nor a server: the frame-time controller that
// raises the splat-size threshold while the camera moves, and the splat radius from local spacing,
// checked by rasterising discs of the estimated radius over synthetic point sets.
#include "AdaptiveDetail.h"
#include "SplatSpacing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

// A viewer whose frame costs `fixedMs` plus `heavyMs` at the user's threshold, the splat part falling
// with the threshold to the power `falloff` (2: splats per screen area). A threshold handed back shapes
// the frame after next: the selection reacts on its own thread, a cycle later.
struct Plant {
    double fixedMs, heavyMs, falloff, noise = 0;
};

struct Motion {
    std::vector<double> thresholds, frames;
    double now = 0;
};

void drive(AdaptiveDetail& a, const Plant& p, Motion& m, int frames, bool moving) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> jitter(1 - p.noise, 1 + p.noise);
    for (int i = 0; i < frames; ++i) {
        const size_t n = m.thresholds.size();
        const double drawnWith = n < 2 ? 1.5 : m.thresholds[n - 2];
        const double ms = (p.fixedMs + p.heavyMs * std::pow(1.5 / drawnWith, p.falloff)) * jitter(rng);
        m.now += ms;
        m.frames.push_back(ms);
        m.thresholds.push_back(a.update(1.5, ms, moving, m.now));
    }
}

int directionChanges(const std::vector<double>& v, size_t from) {
    int changes = 0, last = 0;
    for (size_t i = from + 1; i < v.size(); ++i) {
        const int d = (v[i] > v[i - 1]) - (v[i] < v[i - 1]);
        changes += d != 0 && last != 0 && d != last;
        last = d != 0 ? d : last;
    }
    return changes;
}

TEST(AdaptiveDetail, RaisesTheThresholdUntilFramesMeetTheTargetWithoutOscillating) {
    struct Case {
        const char* name;
        Plant plant;
        double settledMaxMs; // mean of the last 50 frames at most; 0: the threshold is left alone
    };
    const Case cases[] = {
        {"light scene", {5, 15, 2}, 0},
        {"heavy scene (1 s a frame)", {5, 1000, 2}, 50},
        {"cost linear in the threshold", {5, 300, 1}, 50},
        {"noisy frame times", {5, 400, 2, 0.15}, 60},
        {"fixed cost above the target", {80, 400, 2}, 1e9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AdaptiveDetail a;
        Motion m;
        drive(a, c.plant, m, 300, true);
        EXPECT_GE(m.thresholds.back(), 1.5);
        EXPECT_LE(m.thresholds.back(), 1.5 * a.options().maxFactor + 1e-9); // bounded
        EXPECT_EQ(a.raised(), c.settledMaxMs > 0);
        if (c.settledMaxMs == 0)
            continue;
        double mean = 0;
        for (size_t i = m.frames.size() - 50; i < m.frames.size(); ++i)
            mean += m.frames[i] / 50;
        EXPECT_LE(mean, c.settledMaxMs);
        if (c.plant.fixedMs < a.options().targetMs) { // not raised far beyond need
            EXPECT_GT(mean, a.options().targetMs * a.options().lowerBand / 2);
        }
        // Straight up to its level and no overshoot; with noise, settled in the first third.
        EXPECT_LE(directionChanges(m.thresholds, c.plant.noise > 0 ? 100 : 0), c.plant.noise > 0 ? 2 : 0);
    }
}

TEST(AdaptiveDetail, RestoresTheUsersValueOnceTheCameraHasSettledAndRemembersTheFactor) {
    AdaptiveDetail a;
    Motion m;
    drive(a, {5, 1000, 2}, m, 100, true);
    const double raised = m.thresholds.back(), settle = a.options().settleMs;
    ASSERT_GT(raised, 1.5);
    // Pauses of a drag shorter than the settle time keep the raised value.
    EXPECT_EQ(a.update(1.5, 10, false, m.now + settle - 1), raised);
    EXPECT_EQ(a.update(1.5, 10, false, m.now + settle), 1.5);
    EXPECT_FALSE(a.raised());
    EXPECT_EQ(a.update(2.0, 900, false, m.now + 5000), 2.0); // the user's own value, whatever it is
    // The next move starts from the factor learnt, on the user's current value; reset forgets it.
    EXPECT_DOUBLE_EQ(a.update(2.0, 900, true, m.now + 6000), 2.0 * raised / 1.5);
    a.reset();
    EXPECT_EQ(a.update(2.0, 900, true, m.now + 7000), 2.0);
}

TEST(AdaptiveDetail, BadInput) {
    using O = AdaptiveDetail::Options;
    for (const O& o : {O{.targetMs = 0}, O{.targetMs = NAN}, O{.lowerBand = 1}, O{.settleMs = -1},
                       O{.maxFactor = 0.5}, O{.maxStep = 1}, O{.smoothing = 0}, O{.framesPerStep = 1}})
        EXPECT_THROW(AdaptiveDetail{o}, std::invalid_argument);
    AdaptiveDetail a;
    double now = 0;
    for (double ms : {double(NAN), -5.0, 0.0, double(INFINITY)})
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(a.update(1.5, ms, true, now += 16), 1.5); // not measured: nothing to act on
    EXPECT_EQ(a.update(0.0, 900, true, now += 16), 0.0);
    EXPECT_TRUE(std::isnan(a.update(NAN, 900, true, now += 16)));
}

constexpr double kUnit = 0.01; // metres per raw unit

struct Points {
    std::vector<Splat> splats;
    double size; // a square of this many metres a side
};

// Scan lines along x, `along` metres between points and `across` between lines, each line with its own
// phase, positions jittered by `jitter` × `along`.
Points scanLines(double size, double along, double across, double jitter, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> phase(0, along);
    std::normal_distribution<double> noise(0, jitter * along + 1e-9);
    Points p{{}, size};
    for (double y = across / 2; y < size; y += across)
        for (double x = phase(rng); x < size; x += along)
            p.splats.push_back(
                Splat{int32_t((x + noise(rng)) / kUnit), int32_t((y + noise(rng)) / kUnit), 0, 0, 0, 1});
    return p;
}

Points uniformRandom(double size, size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, size / kUnit);
    Points p{{}, size};
    for (size_t i = 0; i < n; ++i)
        p.splats.push_back(Splat{int32_t(u(rng)), int32_t(u(rng)), 0, 0, 0, 1});
    return p;
}

// Share of a 5 cm raster over the interior (4 m in from the edges) within `radius` of a point: the part
// of the surface that discs of that radius close.
double coverage(const Points& p, double radius) {
    const int cells = int(p.size / radius) + 1;
    std::vector<std::vector<std::pair<double, double>>> grid(size_t(cells * cells));
    for (const Splat& s : p.splats)
        grid[size_t(std::min(int(s.x * kUnit / radius), cells - 1) * cells +
                    std::min(int(s.y * kUnit / radius), cells - 1))]
            .emplace_back(s.x * kUnit, s.y * kUnit);
    size_t inside = 0, covered = 0;
    for (double x = 4; x < p.size - 4; x += 0.05)
        for (double y = 4; y < p.size - 4; y += 0.05) {
            ++inside;
            bool hit = false;
            for (int i = int(x / radius) - 1; i <= int(x / radius) + 1 && !hit; ++i)
                for (int j = int(y / radius) - 1; j <= int(y / radius) + 1 && !hit; ++j)
                    for (const auto& [px, py] : grid[size_t(i * cells + j)])
                        hit = hit || (px - x) * (px - x) + (py - y) * (py - y) <= radius * radius;
            covered += hit;
        }
    return double(covered) / double(inside);
}

TEST(SplatSpacing, ScanLinesAreClosedAndIsotropicDataKeepsTheMeanDensityRadius) {
    struct Case {
        const char* name;
        Points points;
        double most; // radius over the mean-density one at most; scan lines: also >= 99 % covered
    };
    const Case cases[] = {
        {"scan lines 0.25 m along, 1.5 m across", scanLines(60, 0.25, 1.5, 0, 1), 1.7},
        {"the same, jittered", scanLines(60, 0.25, 1.5, 0.3, 2), 1.7},
        {"scan lines 0.3 m along, 3 m across", scanLines(80, 0.3, 3.0, 0.1, 3), 2.3},
        {"scan lines 0.25 m along, 1 m across", scanLines(60, 0.25, 1.0, 0.2, 4), 1.5},
        {"uniform random, 3,000 points", uniformRandom(60, 3000, 1), 1.12},
        {"uniform random, 120,000 points", uniformRandom(100, 120000, 2), 1.12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Points& p = c.points;
        const double mean = SplatSpacing::meanRadius(p.size * p.size, double(p.splats.size()));
        const auto e = SplatSpacing::estimate(p.splats.data(), p.splats.size(), kUnit, kUnit);
        const double r = mean * std::max(1.0, e.ratio);
        EXPECT_GT(e.triangles, 100u);
        EXPECT_LE(r, c.most * mean);
        if (c.most > 1.4) {
            EXPECT_LT(coverage(p, mean), 0.9); // the stripes the mean density leaves open
            EXPECT_GE(coverage(p, r), 0.99);
        }
    }
    // Nothing to measure: too few points, points on a line, all at one place, no splats, no scale.
    std::vector<Splat> line, same;
    for (int i = 0; i < 2000; ++i) {
        line.push_back(Splat{i * 10, 500, 0, 0, 0, 1});
        same.push_back(Splat{7, 7, i, 0, 0, 1});
    }
    const Points few = uniformRandom(10, 100, 3);
    for (const auto& [points, n, scale] : {std::tuple{few.splats.data(), few.splats.size(), kUnit},
                                           {line.data(), line.size(), kUnit},
                                           {same.data(), same.size(), kUnit},
                                           {nullptr, size_t(5000), kUnit},
                                           {line.data(), line.size(), 0.0}})
        EXPECT_EQ(SplatSpacing::estimate(points, n, scale, scale).triangles, 0u);
}

} // namespace
