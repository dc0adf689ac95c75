#pragma once
// The flight plan of a synthetic survey: parallel strips over a square-ish scene whose size follows from
// the number of points wanted, at the pulse density of a typical airborne survey.
#include <cstdint>

namespace synth {

struct SurveyPlan {
    double extentX = 0, extentY = 0; // the scene, from the origin; strips run along Y
    uint32_t strips = 1;             // flight lines of one pass over the scene
    double stripWidth = 0;           // swath on the ground
    double stripSpacing = 0;         // between neighbouring strip centre lines
    double altitude = 0;             // above the ground, for the scan angle
    double maxScanAngle = 0;         // degrees from nadir at the swath edge
    double pulseRate = 0;            // pulses per second
    double speed = 0;                // ground speed, metres per second
    uint32_t pulsesPerLine = 1;      // per scan line, edge to edge
    double lineSpacing = 0;          // along-track advance per scan line
    uint64_t linesPerStrip = 1;
    double turnSeconds = 0; // between the end of one strip and the start of the next

    uint64_t pulsesPerStrip() const { return linesPerStrip * pulsesPerLine; }
    uint64_t pulsesPerPass() const { return pulsesPerStrip() * strips; }
    double stripSeconds() const { return double(pulsesPerStrip()) / pulseRate; }
    // Pulses per square metre within one strip, ignoring overlap.
    double stripDensity() const { return double(pulsesPerLine) / (stripWidth * lineSpacing); }
    // Pulses per square metre over the scene for one pass, overlaps included.
    double meanDensity() const { return double(pulsesPerPass()) / (extentX * extentY); }
};

// Plans a survey whose one pass yields about `points` returns when a pulse gives `returnsPerPulse` returns on
// average. Strips are at most maxStripWidth wide; neighbouring strips overlap by a quarter of their width.
SurveyPlan planSurvey(uint64_t points, double returnsPerPulse = 1.2, double maxStripWidth = 400.0);

} // namespace synth
