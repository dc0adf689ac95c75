// The pieces of the render selection that need neither GL nor a server: the frame-time controller that
// raises the splat-size threshold while the camera moves, and the splat radius from local spacing,
// checked by rasterising discs of the estimated radius over synthetic point sets.
#include "AdaptiveDetail.h"
#include "SplatSpacing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// ---- Adaptive frame-time target ----

// A viewer whose frame costs `fixedMs` plus `heavyMs` at the user's threshold, the splat part falling
// with the threshold to the power `falloff` (2: splats per screen area). The threshold handed back in one
// frame shapes the frame after next: the selection reacts on its own thread, a cycle later.
struct Plant {
    double fixedMs, heavyMs, falloff;
    double frame(double user, double threshold) const {
        return fixedMs + heavyMs * std::pow(user / threshold, falloff);
    }
};

struct Motion {
    std::vector<double> thresholds, frames;
    double now = 0;
};

// `frames` frames of camera motion (or stillness), noise of ±`noise` on every frame time.
void drive(AdaptiveDetail& a, const Plant& p, Motion& run, int frames, bool moving, double noise = 0,
           unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(1 - noise, 1 + noise);
    const double user = 1.5;
    for (int i = 0; i < frames; ++i) {
        const size_t n = run.thresholds.size();
        const double drawnWith = n < 2 ? user : run.thresholds[n - 2];
        const double ms = p.frame(user, drawnWith) * (noise > 0 ? jitter(rng) : 1);
        run.now += ms;
        run.frames.push_back(ms);
        run.thresholds.push_back(a.update(user, ms, moving, run.now));
    }
}

int directionChanges(const std::vector<double>& v, size_t from) {
    int changes = 0, last = 0;
    for (size_t i = from + 1; i < v.size(); ++i) {
        const int d = v[i] > v[i - 1] ? 1 : v[i] < v[i - 1] ? -1 : 0;
        if (d != 0 && last != 0 && d != last)
            ++changes;
        if (d != 0)
            last = d;
    }
    return changes;
}

TEST(AdaptiveDetail, RaisesTheThresholdUntilFramesMeetTheTargetWithoutOscillating) {
    struct Case {
        const char* name;
        Plant plant;
        double noise;
        bool raised;         // whether the threshold must rise at all
        double settledMaxMs; // mean frame time over the last frames at most
    };
    const Case cases[] = {
        {"light scene: left alone", {5, 15, 2}, 0, false, 50},
        {"heavy scene (1 s a frame)", {5, 1000, 2}, 0, true, 50},
        {"heavy, cost linear in the threshold", {5, 300, 1}, 0, true, 50},
        {"heavy, noisy frame times", {5, 400, 2}, 0.15, true, 60},
        {"fixed cost above the target: bounded", {80, 400, 2}, 0, true, 1e9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AdaptiveDetail a;
        Motion run;
        drive(a, c.plant, run, 300, true, c.noise);
        const double last = run.thresholds.back();
        EXPECT_LE(last, 1.5 * a.options().maxFactor + 1e-9);
        EXPECT_GE(last, 1.5);
        if (!c.raised) {
            EXPECT_EQ(last, 1.5);
            EXPECT_FALSE(a.raised());
            continue;
        }
        EXPECT_TRUE(a.raised());
        double mean = 0;
        for (size_t i = run.frames.size() - 50; i < run.frames.size(); ++i)
            mean += run.frames[i] / 50;
        EXPECT_LE(mean, c.settledMaxMs);
        // Without noise it rises straight to its level and stays (no overshoot); with noise it settles
        // in the first third and swings at most twice afterwards.
        if (c.noise == 0) {
            EXPECT_EQ(directionChanges(run.thresholds, 0), 0);
        } else {
            EXPECT_LE(directionChanges(run.thresholds, 100), 2);
        }
        // Not raised far beyond need: the frames stay above the lower band's half.
        if (c.plant.fixedMs < a.options().targetMs) {
            EXPECT_GT(mean, a.options().targetMs * a.options().lowerBand / 2);
        }
    }
}

TEST(AdaptiveDetail, RestoresTheUsersValueOnceTheCameraHasSettledAndRemembersTheFactor) {
    AdaptiveDetail a;
    const Plant heavy{5, 1000, 2};
    Motion run;
    drive(a, heavy, run, 100, true);
    const double raisedTo = run.thresholds.back();
    ASSERT_GT(raisedTo, 1.5);
    // Still for less than the settle time: short pauses of a drag keep the raised value.
    EXPECT_EQ(a.update(1.5, 10, false, run.now + 10), raisedTo);
    EXPECT_EQ(a.update(1.5, 10, false, run.now + a.options().settleMs - 1), raisedTo);
    EXPECT_TRUE(a.raised());
    EXPECT_EQ(a.update(1.5, 10, false, run.now + a.options().settleMs), 1.5);
    EXPECT_FALSE(a.raised());
    EXPECT_EQ(a.update(2.0, 900, false, run.now + 5000), 2.0); // the user's own value, whatever it is
    // The next move starts from the factor learnt, scaled to the user's current value.
    EXPECT_DOUBLE_EQ(a.update(2.0, 900, true, run.now + 6000), 2.0 * raisedTo / 1.5);
    a.reset();
    EXPECT_EQ(a.update(2.0, 900, true, run.now + 7000), 2.0);
}

TEST(AdaptiveDetail, BadInput) {
    const auto bad = [](auto edit) {
        AdaptiveDetail::Options o;
        edit(o);
        return o;
    };
    for (const AdaptiveDetail::Options& o :
         {bad([](auto& o) { o.targetMs = 0; }), bad([](auto& o) { o.targetMs = NAN; }),
          bad([](auto& o) { o.lowerBand = 1; }), bad([](auto& o) { o.maxFactor = 0.5; }),
          bad([](auto& o) { o.maxStep = 1; }), bad([](auto& o) { o.smoothing = 0; }),
          bad([](auto& o) { o.framesPerStep = 1; }), bad([](auto& o) { o.settleMs = -1; })})
        EXPECT_THROW(AdaptiveDetail{o}, std::invalid_argument);

    AdaptiveDetail a;
    double now = 0;
    for (double ms : {double(NAN), -5.0, 0.0, double(INFINITY)})
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(a.update(1.5, ms, true, now += 16), 1.5); // not measured: nothing to act on
    EXPECT_EQ(a.update(0.0, 900, true, now += 16), 0.0);
    EXPECT_TRUE(std::isnan(a.update(NAN, 900, true, now += 16)));
}

// ---- Splat radius from local spacing ----

constexpr double kUnit = 0.01; // metres per raw unit

struct Points {
    std::vector<Splat> splats;
    double width, height;
};

// Scan lines along x, `along` metres between points and `across` between lines, each line with its own
// phase, positions jittered by `jitter` × `along`.
Points scanLines(double w, double h, double along, double across, double jitter, unsigned seed,
                 double scaleX = kUnit, double scaleY = kUnit) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> phase(0, along);
    std::normal_distribution<double> noise(0, jitter * along);
    Points p{{}, w, h};
    for (double y = across / 2; y < h; y += across)
        for (double x = phase(rng); x < w; x += along)
            p.splats.push_back(
                Splat{int32_t((x + noise(rng)) / scaleX), int32_t((y + noise(rng)) / scaleY), 0, 0, 0, 1});
    return p;
}

Points uniformRandom(double w, double h, size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    Points p{{}, w, h};
    for (size_t i = 0; i < n; ++i)
        p.splats.push_back(Splat{int32_t(u(rng) * w / kUnit), int32_t(u(rng) * h / kUnit), 0, 0, 0, 1});
    return p;
}

Points jitteredGrid(double w, double h, double spacing, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-0.3, 0.3);
    Points p{{}, w, h};
    for (double x = spacing / 2; x < w; x += spacing)
        for (double y = spacing / 2; y < h; y += spacing)
            p.splats.push_back(Splat{int32_t((x + u(rng) * spacing) / kUnit),
                                     int32_t((y + u(rng) * spacing) / kUnit), 0, 0, 0, 1});
    return p;
}

// Fraction of a fine raster over the interior (`margin` metres in from the edges) within `radius` of a
// point: the share of the surface that discs of that radius close.
double coverage(const Points& p, double radius, double margin, double scaleX = kUnit, double scaleY = kUnit) {
    const int cols = int(p.width / radius) + 1, rows = int(p.height / radius) + 1;
    std::vector<std::vector<std::pair<double, double>>> cells(size_t(cols) * size_t(rows));
    for (const Splat& s : p.splats) {
        const double x = s.x * scaleX, y = s.y * scaleY;
        const int c = std::clamp(int(x / radius), 0, cols - 1), r = std::clamp(int(y / radius), 0, rows - 1);
        cells[size_t(c) * size_t(rows) + size_t(r)].emplace_back(x, y);
    }
    size_t inside = 0, covered = 0;
    for (double x = margin; x < p.width - margin; x += 0.05)
        for (double y = margin; y < p.height - margin; y += 0.05) {
            ++inside;
            bool hit = false;
            const int c = int(x / radius), r = int(y / radius);
            for (int i = c - 1; i <= c + 1 && !hit; ++i)
                for (int j = r - 1; j <= r + 1 && !hit; ++j) {
                    if (i < 0 || j < 0 || i >= cols || j >= rows)
                        continue;
                    for (const auto& [px, py] : cells[size_t(i) * size_t(rows) + size_t(j)])
                        if ((px - x) * (px - x) + (py - y) * (py - y) <= radius * radius) {
                            hit = true;
                            break;
                        }
                }
            covered += hit;
        }
    return double(covered) / double(inside);
}

// The radius the selection uses: the mean-density radius, widened by the gap ratio, never narrowed.
double radiusOf(const Points& p, double scaleX = kUnit, double scaleY = kUnit) {
    const double mean = SplatSpacing::meanRadius(p.width * p.height, double(p.splats.size()));
    const auto e = SplatSpacing::estimate(p.splats.data(), p.splats.size(), scaleX, scaleY);
    return mean * std::max(1.0, e.ratio);
}

TEST(SplatSpacing, ScanLinesAreClosedWhereTheMeanDensityLeavesStripesOpen) {
    struct Case {
        const char* name;
        Points points;
    };
    const Case cases[] = {
        {"0.25 m along, 1.5 m across", scanLines(60, 60, 0.25, 1.5, 0, 1)},
        {"0.25 m along, 1.5 m across, jittered", scanLines(60, 60, 0.25, 1.5, 0.3, 2)},
        {"0.3 m along, 3 m across", scanLines(80, 80, 0.3, 3.0, 0.1, 3)},
        {"0.25 m along, 1 m across", scanLines(60, 60, 0.25, 1.0, 0.2, 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double mean =
            SplatSpacing::meanRadius(c.points.width * c.points.height, double(c.points.splats.size()));
        const double r = radiusOf(c.points);
        EXPECT_LT(coverage(c.points, mean, 4), 0.9); // the stripes the mean density leaves
        EXPECT_GE(coverage(c.points, r, 4), 0.99);
        EXPECT_LT(r, 1.3 * std::hypot(0.15, 1.5)); // closes the gap, not far beyond
    }
}

TEST(SplatSpacing, IsotropicDataKeepsAboutTheMeanDensityRadius) {
    struct Case {
        const char* name;
        Points points;
        double most; // the radius over the mean-density one at most
    };
    const Case cases[] = {
        {"uniform random, 3,000 points", uniformRandom(60, 60, 3000, 1), 1.12},
        {"uniform random, 40,000 points", uniformRandom(100, 100, 40000, 2), 1.12},
        {"uniform random, 120,000 points", uniformRandom(100, 100, 120000, 3), 1.12},
        {"jittered grid", jitteredGrid(60, 60, 0.4, 4), 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double mean =
            SplatSpacing::meanRadius(c.points.width * c.points.height, double(c.points.splats.size()));
        const double r = radiusOf(c.points);
        EXPECT_GE(r, mean);
        EXPECT_LE(r, c.most * mean);
        EXPECT_GT(
            SplatSpacing::estimate(c.points.splats.data(), c.points.splats.size(), kUnit, kUnit).triangles,
            100u);
    }
}

TEST(SplatSpacing, WorldUnitsPerAxisAndDegenerateInput) {
    // The same scan lines stored with a Y unit twice the X unit measure alike.
    const Points even = scanLines(60, 60, 0.25, 1.5, 0.1, 5);
    const Points uneven = scanLines(60, 60, 0.25, 1.5, 0.1, 5, kUnit, 2 * kUnit);
    const double a = SplatSpacing::estimate(even.splats.data(), even.splats.size(), kUnit, kUnit).ratio;
    const double b =
        SplatSpacing::estimate(uneven.splats.data(), uneven.splats.size(), kUnit, 2 * kUnit).ratio;
    EXPECT_GT(a, 1.3);
    EXPECT_NEAR(a, b, 0.05 * a);

    std::vector<Splat> line, same, few;
    for (int i = 0; i < 2000; ++i) {
        line.push_back(Splat{i * 10, 500, 0, 0, 0, 1});
        same.push_back(Splat{7, 7, i, 0, 0, 1});
    }
    for (int i = 0; i < 100; ++i)
        few.push_back(Splat{i * 37 % 1000, i * 91 % 1000, 0, 0, 0, 1});
    for (const auto* points : {&line, &same, &few}) {
        const auto e = SplatSpacing::estimate(points->data(), points->size(), kUnit, kUnit);
        EXPECT_EQ(e.ratio, 0);
        EXPECT_EQ(e.triangles, 0u);
    }
    EXPECT_EQ(SplatSpacing::estimate(nullptr, 5000, kUnit, kUnit).ratio, 0);
    EXPECT_EQ(SplatSpacing::estimate(even.splats.data(), even.splats.size(), 0, kUnit).ratio, 0);
}

} // namespace
