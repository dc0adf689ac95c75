// Frame-rate measurement and limiting, and the graphics memory queries on a real GL context (Xvfb + Mesa).
#include "FrameRate.h"
#include "GPUMemory.h"

#include "support/HiddenGLWindow.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A measurement is taken once more than 5000 ms have passed; the next one counts from it.
TEST(FrameRate, MeasuresEveryFiveSecondsAndFillsTheFrameBudget) {
    lastCalcTime = -1, frameCount = 0, lastFPS = 1.0;
    const long start = 1000;
    EXPECT_FALSE(trackFPS(start)); // only starts the measurement
    EXPECT_EQ(getFPS(), 1.0);
    long frames = 0;
    for (long t = start + 16; t <= start + 5000; t += 16, ++frames)
        ASSERT_FALSE(trackFPS(t)) << "at " << t - start << " ms";
    ASSERT_FALSE(trackFPS(start + 5000)) << "5000 ms is not more than 5000 ms";
    EXPECT_TRUE(trackFPS(start + 5001));
    EXPECT_DOUBLE_EQ(getFPS(), (frames + 2) * 1000.0 / 5001.0);
    EXPECT_FALSE(trackFPS(start + 10001));
    EXPECT_TRUE(trackFPS(start + 10002));
    EXPECT_DOUBLE_EQ(getFPS(), 2 * 1000.0 / 5001.0);
    // A frame sleeps what is left of its 5 ms budget.
    const std::pair<long, long> cases[] = {{100, 5}, {104, 1}, {105, 0}};
    for (const auto& [now, sleep] : cases)
        EXPECT_EQ(fpsSleepMs(now, 100), sleep) << now;
    limitFPS();
    const long first = frameTime;
    EXPECT_GE(long(SDL_GetTicks()), first);
    limitFPS(); // follows at once, so it sleeps the rest of the budget
    EXPECT_GE(frameTime - first, 5);
}

// The values follow the driver's extension string and leave no GL error; without the extension (Mesa)
// or without a current context they are 0.
TEST(GPUMemory, FollowsTheExtensionAndTheContext) {
    HiddenGLWindow gl;
    if (!gl.skipReason.empty())
        GTEST_SKIP() << gl.skipReason;
    for (bool current : {true, false}) {
        {
            const DriverAllocations notLeaks;
            ASSERT_EQ(SDL_GL_MakeCurrent(gl.window, current ? gl.context : nullptr), 0) << SDL_GetError();
        }
        bool present = false;
        if (current) {
            const auto* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
            present = extensions != nullptr && std::strstr(extensions, "GL_NVX_gpu_memory_info") != nullptr;
            while (glGetError() != GL_NO_ERROR) {
            }
        }
        const int used = getUsedGPUmem(), free = getFreeGPUmem();
        printGPUmem();
        EXPECT_TRUE(!current || glGetError() == GL_NO_ERROR);
        EXPECT_TRUE(present ? free > 0 && used >= 0 : used == 0 && free == 0) << used << " " << free;
    }
}

} // namespace
