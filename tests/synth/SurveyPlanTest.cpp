#include "SurveyPlan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using synth::planSurvey;
using synth::SurveyPlan;

namespace {

void expectConsistent(const SurveyPlan& p, double maxWidth) {
    EXPECT_GE(p.strips, 1u);
    EXPECT_LE(p.stripWidth, maxWidth + 1e-9);
    // The strips span the scene across their direction, the scan lines along it.
    EXPECT_NEAR(p.stripWidth + (p.strips - 1) * p.stripSpacing, p.extentX, 1e-6 * p.extentX);
    if (p.strips > 1) {
        EXPECT_NEAR(p.stripSpacing, 0.75 * p.stripWidth, 1e-9 * p.stripWidth);
    }
    EXPECT_GE(p.linesPerStrip * p.lineSpacing, p.extentY);
    EXPECT_LT((p.linesPerStrip - 1) * p.lineSpacing, p.extentY);
    // The aircraft covers one line spacing in the time of one scan line.
    EXPECT_NEAR(p.speed * p.pulsesPerLine / p.pulseRate, p.lineSpacing, 1e-9);
    EXPECT_LE(p.pulseRate, 100000.0);
    EXPECT_GT(p.speed, 0.0);
    EXPECT_LE(p.speed, 60.0 + 1e-9);
    // The swath edge is seen at the largest scan angle.
    EXPECT_NEAR(std::atan(0.5 * p.stripWidth / p.altitude) * 180.0 / M_PI, p.maxScanAngle, 1e-6);
    EXPECT_GT(p.turnSeconds, 0.0);
    // Pulses are about as far apart across the track as along it.
    const double across = p.stripWidth / p.pulsesPerLine;
    EXPECT_NEAR(across / p.lineSpacing, 1.0, 0.05);
}

} // namespace

TEST(SurveyPlan, AreaGrowsWithThePointsAtARealisticDensity) {
    double previous = 0;
    for (uint64_t points :
         {3000ULL, 100000ULL, 1000000ULL, 10000000ULL, 100000000ULL, 1000000000ULL, 4294967295ULL}) {
        const SurveyPlan p = planSurvey(points, 1.2);
        SCOPED_TRACE(points);
        expectConsistent(p, 400.0);
        EXPECT_GT(p.extentX, previous);
        EXPECT_DOUBLE_EQ(p.extentX, p.extentY);
        previous = p.extentX;
        EXPECT_GE(p.meanDensity(), 6.0);
        EXPECT_LE(p.meanDensity(), 10.0);
        EXPECT_NEAR(p.stripDensity(), 6.5, 0.2);
        // One pass holds about the points asked for.
        const double expected = double(points) / 1.2;
        EXPECT_NEAR(double(p.pulsesPerPass()), expected, 0.03 * expected + 3 * p.pulsesPerLine);
    }
}

TEST(SurveyPlan, TheLargestSceneStaysWithinTheRecordRange) {
    const SurveyPlan p = planSurvey(4294967295ULL, 1.0);
    // Coordinates are stored in centimetres as 32-bit integers.
    EXPECT_LT(p.extentX * 100.0, 2147483647.0);
    EXPECT_LT(p.strips, 200u);
    EXPECT_GT(p.strips, 20u);
}

TEST(SurveyPlan, TinySceneHasAMinimumSize) {
    for (uint64_t points : {1ULL, 2ULL, 7ULL, 100ULL}) {
        const SurveyPlan p = planSurvey(points);
        expectConsistent(p, 400.0);
        EXPECT_EQ(p.strips, 1u);
        EXPECT_GE(p.extentX, 20.0);
        EXPECT_GE(p.pulsesPerPass(), points);
    }
}

TEST(SurveyPlan, NarrowStripsMeanMoreOfThem) {
    const SurveyPlan wide = planSurvey(2000000, 1.2);
    const SurveyPlan narrow = planSurvey(2000000, 1.2, 60.0);
    expectConsistent(narrow, 60.0);
    EXPECT_GT(narrow.strips, wide.strips);
    EXPECT_GE(narrow.strips, 8u);
    EXPECT_LT(narrow.altitude, wide.altitude);
}

TEST(SurveyPlan, MoreReturnsPerPulseMeanFewerPulses) {
    const SurveyPlan a = planSurvey(5000000, 1.0), b = planSurvey(5000000, 1.5);
    EXPECT_GT(a.pulsesPerPass(), b.pulsesPerPass());
    EXPECT_GT(a.extentX, b.extentX);
}

TEST(SurveyPlan, RejectsNonsense) {
    EXPECT_THROW(planSurvey(1000, 1.2, 0.0), std::runtime_error);
    EXPECT_THROW(planSurvey(1000, 1.2, -5.0), std::runtime_error);
    EXPECT_THROW(planSurvey(1000, 0.5), std::runtime_error);
    EXPECT_THROW(planSurvey(1000, std::nan("")), std::runtime_error);
}
