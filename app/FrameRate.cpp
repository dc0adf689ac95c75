#include "FrameRate.h"

#include <SDL.h>
#include <iostream>

long frameTime = 0;
long lastCalcTime = -1;
long frameCount = 0;
double lastFPS = 1.0;

static constexpr long kMeasurePeriodMs = 5000;

bool trackFPS(long nowMs) {
    if (lastCalcTime < 0) {
        lastCalcTime = nowMs;
        return false;
    }
    ++frameCount;
    const long elapsed = nowMs - lastCalcTime;
    if (elapsed <= kMeasurePeriodMs)
        return false;
    lastFPS = static_cast<double>(frameCount) * 1000.0 / static_cast<double>(elapsed);
    std::cout << "FPS: " << lastFPS << std::endl;
    frameCount = 0;
    lastCalcTime = nowMs;
    return true;
}

double getFPS() {
    return lastFPS;
}

long fpsSleepMs(long nowMs, long lastFrameMs) {
    const long budget = static_cast<long>(1000 / FPS_LIMIT);
    const long elapsed = nowMs - lastFrameMs;
    return elapsed < budget ? budget - elapsed : 0;
}

void limitFPS() {
    const long sleepMs = fpsSleepMs(static_cast<long>(SDL_GetTicks()), frameTime);
    if (sleepMs > 0)
        SDL_Delay(static_cast<Uint32>(sleepMs));
    frameTime = static_cast<long>(SDL_GetTicks());
}
