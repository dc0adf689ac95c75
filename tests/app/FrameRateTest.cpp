#include "FrameRate.h"

#include <gtest/gtest.h>

#include <SDL.h>
#include <string>

namespace {

class FrameRate : public ::testing::Test {
protected:
    void SetUp() override {
        lastCalcTime = -1;
        frameCount = 0;
        lastFPS = 1.0;
        frameTime = 0;
    }
};

TEST_F(FrameRate, InitialState) {
    EXPECT_EQ(FPS_LIMIT, 200);
    EXPECT_EQ(getFPS(), 1.0);
}

TEST_F(FrameRate, FirstCallOnlyStartsTheMeasurement) {
    EXPECT_FALSE(trackFPS(40000));
    EXPECT_EQ(lastCalcTime, 40000);
    EXPECT_EQ(frameCount, 0);
    EXPECT_EQ(getFPS(), 1.0);
}

TEST_F(FrameRate, MeasuresOnceMoreThanFiveSecondsHavePassed) {
    const long start = 1000;
    ASSERT_FALSE(trackFPS(start));
    long frames = 0;
    for (long t = start + 16; t <= start + 5000; t += 16) {
        ++frames;
        ASSERT_FALSE(trackFPS(t)) << "at " << t - start << " ms";
    }
    ASSERT_FALSE(trackFPS(start + 5000)) << "5000 ms is not more than 5000 ms";
    ++frames;

    testing::internal::CaptureStdout();
    EXPECT_TRUE(trackFPS(start + 5001));
    const std::string printed = testing::internal::GetCapturedStdout();
    ++frames;
    EXPECT_DOUBLE_EQ(getFPS(), frames * 1000.0 / 5001.0);
    EXPECT_EQ(printed.rfind("FPS: ", 0), 0u) << printed;
    EXPECT_EQ(printed.back(), '\n');
    EXPECT_EQ(lastCalcTime, start + 5001);
    EXPECT_EQ(frameCount, 0);

    // The next measurement counts from the last one.
    EXPECT_FALSE(trackFPS(start + 6000));
    EXPECT_FALSE(trackFPS(start + 10001));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(trackFPS(start + 10002));
    testing::internal::GetCapturedStdout();
    EXPECT_DOUBLE_EQ(getFPS(), 3 * 1000.0 / 5001.0);
}

TEST_F(FrameRate, SleepFillsTheFrameBudget) {
    EXPECT_EQ(fpsSleepMs(102, 100), 3); // a 2 ms frame sleeps 3 ms
    EXPECT_EQ(fpsSleepMs(100, 100), 5);
    EXPECT_EQ(fpsSleepMs(104, 100), 1);
    EXPECT_EQ(fpsSleepMs(105, 100), 0); // 5 ms or more: no sleep
    EXPECT_EQ(fpsSleepMs(180, 100), 0);
}

TEST_F(FrameRate, LimitFPSSleepsAndRecordsTheFrameEnd) {
    limitFPS();
    const long first = frameTime;
    EXPECT_GE(static_cast<long>(SDL_GetTicks()), first);
    limitFPS(); // follows at once, so it sleeps the rest of the 5 ms budget
    EXPECT_GE(frameTime - first, 5);
}

} // namespace
