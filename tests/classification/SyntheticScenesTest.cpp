// Scenes with known surfaces, normals fitted as the point server fits them, classified with the
// default thresholds: purity and completeness against the labels.
#include "ClassificationFixtures.h"
#include "ContinuousSurfaces.h"

#include <gtest/gtest.h>

#include <set>

namespace {

SurfaceClassification classify(const Scene& s, const ClassificationThresholds& t = {}) {
    auto q = s.handler();
    ContinuousSurfaceOptions o;
    o.threads = 2;
    return findContinuousSurfaces(*q, t, o);
}

TEST(SyntheticScenes, TwoPlanesMeetingAtARidgeSplitThere) {
    CapturedLog log;
    Scene s;
    // A gable roof, 35 degrees each side, ridge along y at x = 0.
    s.surface(-10, -0.1, 0, 20, 0.4, 0.01, 0, [](double x, double) { return 10 + 0.7 * x; });
    s.surface(0.1, 10, 0, 20, 0.4, 0.01, 1, [](double x, double) { return 10 - 0.7 * x; });
    s.fitNormals();
    const auto r = classify(s);
    const Score sc = score(s.labels, r.classes);
    EXPECT_GE(sc.purity, 0.99) << "no surface crosses the ridge";
    EXPECT_GE(sc.completeness, 0.9) << "each side is one surface";
    EXPECT_EQ(sc.surfaces, 2);
    EXPECT_GE(double(r.classifiedPoints) / s.positions.size(), 0.9);
}

TEST(SyntheticScenes, NoiseBelowTheDistanceThresholdKeepsOnePlane) {
    CapturedLog log;
    Scene s;
    // Half a metre spacing, 2 cm of noise: relative distances of about 0.06 for the nearest neighbours.
    s.surface(0, 30, 0, 30, 0.5, 0.02, 0, [](double x, double y) { return 0.05 * x + 0.02 * y; });
    s.fitNormals();
    const auto r = classify(s);
    const Score sc = score(s.labels, r.classes);
    EXPECT_GE(sc.completeness, 0.97);
    EXPECT_EQ(sc.surfaces, 1);
}

TEST(SyntheticScenes, ACylinderIsSplitIntoPatchesByTheSecondaryAngle) {
    CapturedLog log;
    Scene s;
    // The upper half of a cylinder of radius 8 along y: normals turn through 180 degrees.
    std::vector<double> angleOf;
    for (double a = 0.05; a < std::numbers::pi - 0.05; a += 0.4 / 8)
        for (double y = 0; y <= 30; y += 0.4) {
            const double aa = a + s.uniform(-0.01, 0.01);
            s.add(8 * std::cos(aa), y + s.uniform(-0.1, 0.1), 8 * std::sin(aa) + s.noise(0.005), 0);
            angleOf.push_back(aa);
        }
    s.fitNormals();
    const ClassificationThresholds t;
    const auto r = classify(s, t);
    // Every member lies within the secondary angle of its seed, so no patch spans more than twice it.
    std::map<int32_t, std::pair<double, double>> span;
    size_t classified = 0;
    for (size_t i = 0; i < r.classes.size(); ++i) {
        if (r.classes[i] == 0)
            continue;
        ++classified;
        auto [it, fresh] = span.try_emplace(r.classes[i], angleOf[i], angleOf[i]);
        it->second.first = std::min(it->second.first, angleOf[i]);
        it->second.second = std::max(it->second.second, angleOf[i]);
    }
    EXPECT_GE(span.size(), 4u) << "180 degrees of normals in patches of at most 40";
    for (auto& [c, range] : span)
        EXPECT_LE((range.second - range.first) * 180 / std::numbers::pi, 2 * t.secondaryAngleDeg + 3)
            << "class " << c;
    EXPECT_GE(double(classified) / r.classes.size(), 0.8);
}

TEST(SyntheticScenes, ScatteredVegetationStaysUnclassified) {
    CapturedLog log;
    Scene s;
    s.surface(0, 30, 0, 30, 0.6, 0.02, 0, [](double, double) { return 0.0; });
    // Crowns: returns scattered through the volume above part of the ground.
    for (int i = 0; i < 1500; ++i)
        s.add(s.uniform(5, 25), s.uniform(5, 25), s.uniform(1.5, 12), -1);
    s.fitNormals();
    const auto r = classify(s);
    const Score sc = score(s.labels, r.classes);
    EXPECT_LE(sc.strayClassified, 0.05);
    EXPECT_GE(sc.purity, 0.98);
    EXPECT_GE(sc.completeness, 0.9);
}

TEST(SyntheticScenes, ANoisyWallIsOneSurfaceAlthoughItsNormalsFlip) {
    CapturedLog log;
    Scene s;
    for (double y = 0; y <= 30; y += 0.4)
        for (double z = 0; z <= 10; z += 0.4)
            s.add(5 + s.noise(0.01), y + s.uniform(-0.1, 0.1), z + s.uniform(-0.1, 0.1), 0);
    s.fitNormals();
    size_t east = 0, west = 0;
    for (const auto& n : s.normals) {
        east += n.x > 0.9f;
        west += n.x < -0.9f;
    }
    ASSERT_GT(std::min(east, west), s.normals.size() / 10) << "the fitted normals face both ways";
    const auto r = classify(s);
    const Score sc = score(s.labels, r.classes);
    EXPECT_GE(sc.completeness, 0.95);
    EXPECT_EQ(sc.surfaces, 1);
}

TEST(SyntheticScenes, AFlatRoofAboveFlatGroundIsASurfaceOfItsOwn) {
    CapturedLog log;
    Scene s;
    // The same normals on both: only the steps' angle to the seed's plane keeps them apart.
    s.surface(0, 30, 0, 30, 0.5, 0.01, 0, [](double, double) { return 0.0; });
    for (size_t i = s.positions.size(); i-- > 0;)
        if (s.positions[i].x > 9 && s.positions[i].x < 21 && s.positions[i].y > 9 && s.positions[i].y < 21)
            s.labels[i] = 1, s.positions[i].z = 3.0 + s.noise(0.01);
    s.fitNormals();
    const auto r = classify(s);
    const Score sc = score(s.labels, r.classes);
    EXPECT_GE(sc.purity, 0.99);
    EXPECT_GE(sc.completeness, 0.9);
    EXPECT_EQ(sc.surfaces, 2);
}

TEST(SyntheticScenes, ASettlementSeparatesGroundRoofsAndWall) {
    CapturedLog log;
    const Scene s = smallSettlement();
    const auto r = classify(s);
    const Score sc = score(s.labels, r.classes);
    EXPECT_GE(sc.purity, 0.97);
    EXPECT_GE(sc.completeness, 0.85);
    EXPECT_LE(sc.strayClassified, 0.1);
}

} // namespace
