#include "SurveyPlan.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace synth {

namespace {
constexpr double StripDensity = 6.5;  // pulses per square metre within one strip
constexpr double Overlap = 0.25;      // of the strip width, between neighbouring strips
constexpr double MaxScanAngle = 20.0; // degrees either side of nadir
constexpr double TanMaxScanAngle = 0.36397023426620234;
constexpr double MaxPulseRate = 100000.0; // Hz
constexpr double MaxSpeed = 60.0;         // m/s; small scenes are flown slower with a slower laser
constexpr double MinExtent = 20.0;        // metres; below this a scene has no room for anything
} // namespace

SurveyPlan planSurvey(uint64_t points, double returnsPerPulse, double maxStripWidth) {
    if (!(maxStripWidth > 0.0))
        throw std::runtime_error("survey plan: the maximum strip width must be positive");
    if (!(returnsPerPulse >= 1.0))
        throw std::runtime_error("survey plan: a pulse gives at least one return");
    const double pulses = std::max(1.0, double(points) / returnsPerPulse);

    // The scene is a square of side L covered by S strips overlapping by a quarter: L = w (1 + (S-1)(1-o)).
    // Take the fewest strips whose width stays within the limit.
    uint32_t strips = 1;
    double span = 1.0, side = 0.0;
    for (;; ++strips) {
        span = 1.0 + double(strips - 1) * (1.0 - Overlap);
        side = std::max(MinExtent, std::sqrt(pulses * span / (StripDensity * strips)));
        if (side / span <= maxStripWidth)
            break;
    }

    SurveyPlan p;
    p.strips = strips;
    p.stripWidth = side / span;
    p.stripSpacing = p.stripWidth * (1.0 - Overlap);
    p.extentX = side;
    p.extentY = side;
    p.maxScanAngle = MaxScanAngle;
    p.altitude = 0.5 * p.stripWidth / TanMaxScanAngle;
    p.pulsesPerLine = uint32_t(std::max<long long>(1, std::llround(p.stripWidth * std::sqrt(StripDensity))));
    const double across = p.stripWidth / p.pulsesPerLine;
    p.lineSpacing = 1.0 / (StripDensity * across);
    p.linesPerStrip = uint64_t(std::ceil(side / p.lineSpacing));
    p.pulseRate = std::min(MaxPulseRate, StripDensity * p.stripWidth * MaxSpeed);
    p.speed = p.lineSpacing * p.pulseRate / p.pulsesPerLine;
    p.turnSeconds = 60.0;
    return p;
}

} // namespace synth
