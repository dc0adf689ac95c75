// The batch classification: the interactive classifier's partition on one and two threads, its
// reports, and scenes with known surfaces scored for purity and completeness.
#include "ClassificationFixtures.h"
#include "ContinuousSurfaces.h"
#include "SurfaceClassifier.h"

#include <gtest/gtest.h>

namespace {

ContinuousSurfaceOptions options(unsigned threads) {
    ContinuousSurfaceOptions o;
    o.threads = threads;
    return o;
}

TEST(ContinuousSurfaces, SamePartitionAsTheInteractiveClassifierOnOneAndTwoThreads) {
    CapturedLog log;
    // A broad, gently curved field sends waves of hundreds of points to the worker threads.
    Scene field;
    field.surface(0, 40, 0, 40, 0.6, 0.01, 0, [](double x, double y) { return 0.006 * (x * x + 0.5 * y * y); });
    field.fitNormals();
    const std::pair<Scene, ClassificationThresholds> cases[] = {{smallSettlement(), {}}, {field, {10, 0.2, 12, 10}}};
    for (const auto& [s, t] : cases) {
        auto q = s.handler();
        SurfaceClassifier c;
        c.initSurfaceClassification(*q, t.maxAngleDeg, t.maxRelDistance, t.secondaryAngleDeg, t.globalAngleDeg);
        while (!c.classificationEnded())
            c.nextIteration(*q);
        ASSERT_GT(c.numClasses, 1);
        for (unsigned threads : {1u, 2u}) {
            const SurfaceClassification r = findContinuousSurfaces(*q, t, options(threads));
            EXPECT_EQ(canonicalPartition(r.classes), canonicalPartition(c.surfaceClasses)) << threads << " threads";
            EXPECT_EQ(r.classes, c.surfaceClasses) << "seeds in the same order give the same numbers";
            EXPECT_EQ(r.numClasses, c.numClasses);
            ASSERT_EQ(r.seeds.size(), size_t(r.numClasses));
            for (size_t k = 0; k < r.seeds.size(); ++k)
                EXPECT_EQ(r.classes[r.seeds[k]], int32_t(k + 1)) << "a class holds its seed";
            EXPECT_EQ(r.classifiedPoints, c.classifiedPoints);
            EXPECT_LE(r.growth.queries, r.classifiedPoints) << "a point is expanded at most once";
            if (threads == 2 && &s == &cases[1].first) {
                EXPECT_GT(r.growth.parallelWaves, 0u);
            }
        }
    }
    // Progress per stage; a callback that throws stops the work with every thread joined.
    std::vector<std::string> stages;
    ContinuousSurfaceOptions o = options(2);
    o.progress = [&](const char* stage, uint64_t, uint64_t total) {
        EXPECT_EQ(total, field.positions.size());
        if (stages.empty() || stages.back() != stage)
            stages.push_back(stage);
        if (std::string(stage) == "surfaces")
            throw std::runtime_error("stop");
    };
    EXPECT_THROW(findContinuousSurfaces(*field.handler(), ClassificationThresholds{}, o), std::runtime_error);
    EXPECT_EQ(stages, (std::vector<std::string>{"compatibility", "surfaces"}));
}

TEST(SyntheticScenes, SurfacesAgainstKnownLabels) {
    CapturedLog log;
    struct Case {
        const char* name;
        Scene s;
        double purity, completeness, strayMax;
        int surfaces; // -1: any
    };
    std::vector<Case> cases(6);
    // A gable roof, 35 degrees each side, ridge along y at x = 0: split at the ridge.
    cases[0] = {"ridge", {}, 0.99, 0.9, 0, 2};
    cases[0].s.surface(-10, -0.1, 0, 20, 0.4, 0.01, 0, [](double x, double) { return 10 + 0.7 * x; });
    cases[0].s.surface(0.1, 10, 0, 20, 0.4, 0.01, 1, [](double x, double) { return 10 - 0.7 * x; });
    // 2 cm of noise at half a metre: relative distances of about 0.06 keep one plane.
    cases[1] = {"noisy plane", {}, 0.99, 0.97, 0, 1};
    cases[1].s.surface(0, 30, 0, 30, 0.5, 0.02, 0, [](double x, double y) { return 0.05 * x + 0.02 * y; });
    // Crowns: returns scattered above part of the ground stay out.
    cases[2] = {"vegetation", {}, 0.98, 0.9, 0.05, 1};
    cases[2].s.surface(0, 30, 0, 30, 0.6, 0.02, 0, [](double, double) { return 0.0; });
    for (int i = 0; i < 1500; ++i)
        cases[2].s.add(cases[2].s.uniform(5, 25), cases[2].s.uniform(5, 25), cases[2].s.uniform(1.5, 12), -1);
    // A noisy wall: fitted normals face both ways, yet it is one surface.
    cases[3] = {"wall", {}, 0.99, 0.95, 0, 1};
    for (double y = 0; y <= 30; y += 0.4)
        for (double z = 0; z <= 10; z += 0.4)
            cases[3].s.add(5 + cases[3].s.noise(0.01), y + cases[3].s.uniform(-0.1, 0.1), z + cases[3].s.uniform(-0.1, 0.1), 0);
    // A flat roof above flat ground, the same normals: only the step's angle to the seed's plane parts them.
    cases[4] = {"flat roof", {}, 0.99, 0.9, 0, 2};
    cases[4].s.surface(0, 30, 0, 30, 0.5, 0.01, 0, [](double, double) { return 0.0; });
    for (size_t i = 0; i < cases[4].s.positions.size(); ++i)
        if (auto& p = cases[4].s.positions[i]; p.x > 9 && p.x < 21 && p.y > 9 && p.y < 21)
            cases[4].s.labels[i] = 1, p.z = 3.0 + cases[4].s.noise(0.01);
    cases[5] = {"settlement", smallSettlement(), 0.97, 0.85, 0.1, -1};
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.surfaces >= 0)
            c.s.fitNormals();
        if (std::string(c.name) == "wall") {
            const auto east = std::count_if(c.s.normals.begin(), c.s.normals.end(), [](auto n) { return n.x > 0.9f; });
            const auto west = std::count_if(c.s.normals.begin(), c.s.normals.end(), [](auto n) { return n.x < -0.9f; });
            ASSERT_GT(size_t(std::min(east, west)), c.s.normals.size() / 10) << "normals facing both ways";
        }
        const auto r = findContinuousSurfaces(*c.s.handler(), {}, options(2));
        const Score sc = score(c.s.labels, r.classes);
        EXPECT_GE(sc.purity, c.purity);
        EXPECT_GE(sc.completeness, c.completeness);
        EXPECT_LE(sc.strayClassified, c.strayMax);
        if (c.surfaces >= 0) {
            EXPECT_EQ(sc.surfaces, c.surfaces);
        }
    }
    // A half cylinder of radius 8: normals turn through 180 degrees, so the secondary angle cuts patches
    // of at most twice its size.
    Scene s;
    std::vector<double> angleOf;
    for (double a = 0.05; a < std::numbers::pi - 0.05; a += 0.05)
        for (double y = 0; y <= 30; y += 0.4) {
            angleOf.push_back(a + s.uniform(-0.01, 0.01));
            s.add(8 * std::cos(angleOf.back()), y + s.uniform(-0.1, 0.1), 8 * std::sin(angleOf.back()) + s.noise(0.005), 0);
        }
    s.fitNormals();
    const auto r = findContinuousSurfaces(*s.handler(), {}, options(2));
    std::map<int32_t, std::pair<double, double>> span;
    for (size_t i = 0; i < r.classes.size(); ++i)
        if (r.classes[i] != 0) {
            auto [it, fresh] = span.try_emplace(r.classes[i], angleOf[i], angleOf[i]);
            it->second = {std::min(it->second.first, angleOf[i]), std::max(it->second.second, angleOf[i])};
        }
    EXPECT_GE(span.size(), 4u);
    for (auto& [c, range] : span)
        EXPECT_LE((range.second - range.first) * 180 / std::numbers::pi, 2 * DEFAULT_SECONDARY_ANGLE_DEG + 3) << c;
    EXPECT_GE(double(r.classifiedPoints) / double(r.classes.size()), 0.8);
}

} // namespace
