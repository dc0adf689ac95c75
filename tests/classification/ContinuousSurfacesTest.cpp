// The batch classification against the interactive classifier stepped to its end, on one and two
// threads, and its reports.
#include "ContinuousSurfaces.h"
#include "ClassificationFixtures.h"
#include "SurfaceClassifier.h"

#include <gtest/gtest.h>

namespace {

std::vector<int32_t> interactive(const QueryHandler& q, const ClassificationThresholds& t,
                                 int32_t* classes = nullptr) {
    SurfaceClassifier c;
    c.initSurfaceClassification(q, t.maxAngleDeg, t.maxRelDistance, t.secondaryAngleDeg, t.globalAngleDeg);
    while (!c.classificationEnded())
        c.nextIteration(q);
    if (classes)
        *classes = c.numClasses;
    return c.surfaceClasses;
}

void expectSameAsInteractive(const Scene& s, const ClassificationThresholds& t, bool largeWaves = false) {
    auto q = s.handler();
    int32_t numClasses = 0;
    const auto reference = interactive(*q, t, &numClasses);
    ASSERT_GT(numClasses, 1);
    for (unsigned threads : {1u, 2u}) {
        ContinuousSurfaceOptions o;
        o.threads = threads;
        const SurfaceClassification r = findContinuousSurfaces(*q, t, o);
        EXPECT_EQ(canonicalPartition(r.classes), canonicalPartition(reference)) << threads << " threads";
        // Seeds are taken in the same order, so even the numbers agree.
        EXPECT_EQ(r.classes, reference) << threads << " threads";
        EXPECT_EQ(r.numClasses, numClasses);
        if (largeWaves) {
            EXPECT_GT(r.growth.parallelWaves, 0u) << "waves large enough for the worker threads";
        }
        ASSERT_EQ(r.seeds.size(), size_t(r.numClasses));
        for (size_t c = 0; c < r.seeds.size(); ++c)
            EXPECT_EQ(r.classes[r.seeds[c]], int32_t(c + 1)) << "a class holds its seed";
        EXPECT_EQ(r.classifiedPoints, size_t(std::count_if(r.classes.begin(), r.classes.end(),
                                                           [](int32_t v) { return v != 0; })));
    }
}

TEST(ContinuousSurfaces, SamePartitionAsTheInteractiveClassifier) {
    CapturedLog log;
    expectSameAsInteractive(smallSettlement(), ClassificationThresholds{});
    EXPECT_TRUE(log.has("Number of classified points: "));
    EXPECT_TRUE(log.has("All threads started"));
    EXPECT_TRUE(log.has("Thread ended"));
}

TEST(ContinuousSurfaces, SamePartitionWithLargeWavesAndOtherThresholds) {
    CapturedLog log;
    // A broad, gently curved field: waves of hundreds of points go to the worker threads, and growth
    // stops where the slope leaves the seed's angle.
    Scene s;
    s.surface(0, 40, 0, 40, 0.6, 0.01, 0, [](double x, double y) { return 0.006 * (x * x + 0.5 * y * y); });
    s.fitNormals();
    expectSameAsInteractive(s, ClassificationThresholds{10, 0.2, 12, 10}, true);
}

TEST(ContinuousSurfaces, ReportsAndProgress) {
    CapturedLog log;
    Scene s = smallSettlement();
    auto q = s.handler();
    ContinuousSurfaceOptions o;
    o.threads = 2;
    std::vector<std::string> stages;
    uint64_t lastDone = 0;
    o.progress = [&](const char* stage, uint64_t done, uint64_t total) {
        EXPECT_LE(done, total);
        EXPECT_EQ(total, s.positions.size());
        if (stages.empty() || stages.back() != stage)
            stages.push_back(stage);
        lastDone = done;
    };
    const auto r = findContinuousSurfaces(*q, ClassificationThresholds{}, o);
    EXPECT_EQ(stages, (std::vector<std::string>{"compatibility", "surfaces"}));
    EXPECT_EQ(lastDone, r.classifiedPoints);
    EXPECT_GT(r.compatibility.queries, 0u);
    EXPECT_LE(r.compatibility.querySeconds, r.compatibility.busySeconds);
    EXPECT_GT(r.growth.queries, 0u);
    EXPECT_LE(r.growth.queries, r.classifiedPoints) << "a point is expanded at most once";
    EXPECT_LE(r.growth.parallelWaves, r.growth.waves);

    // A progress callback that throws stops the work; the threads are joined on the way out.
    o.progress = [](const char* stage, uint64_t, uint64_t) {
        if (std::string(stage) == "surfaces")
            throw std::runtime_error("stop");
    };
    EXPECT_THROW(findContinuousSurfaces(*q, ClassificationThresholds{}, o), std::runtime_error);
}

} // namespace
