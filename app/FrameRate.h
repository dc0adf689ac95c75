#pragma once
// Frame-rate measurement and limiting for the main loop. Times are SDL millisecond ticks.
#include <cstdint>

inline constexpr std::int64_t FPS_LIMIT = 200;

extern long frameTime;    // tick at the end of the last frame
extern long lastCalcTime; // start of the current measurement, -1 before the first frame
extern long frameCount;   // frames since lastCalcTime
extern double lastFPS;    // last measurement, 1.0 before the first

// Counts a frame; every time more than 5000 ms have passed since the last measurement, sets and prints
// lastFPS and returns true. The first call only starts the measurement.
bool trackFPS(long nowMs);
double getFPS();
// Milliseconds limitFPS sleeps at `nowMs` when the last frame ended at `lastFrameMs`: what is left of
// the 1000 / FPS_LIMIT ms budget, 0 when spent.
long fpsSleepMs(long nowMs, long lastFrameMs);
// Sleeps away the rest of the frame budget, then sets frameTime to the current tick.
void limitFPS();
