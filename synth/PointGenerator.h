#pragma once
// Flies a survey plan over the synthetic scene and packs the returns as LAS point records (formats 0 to 3),
// pulse by pulse in acquisition order, into the caller's buffer.
#include "SceneModel.h"
#include "SurveyPlan.h"

#include <cstdint>
#include <memory>

namespace synth {

struct GeneratorStats {
    // Over the records made so far (a pulse split between calls counts whole); complete once done().
    // The bounds of the quantised coordinates are meaningful once a record has been made.
    int32_t minX = 0, maxX = 0, minY = 0, maxY = 0, minZ = 0, maxZ = 0;
    uint64_t byReturn[5] = {}; // records with return number 1 to 5
    uint64_t ground = 0, vegetation = 0, building = 0;
    uint64_t pulses = 0; // pulses whose first record was written
};

// Returns per pulse that the pulses over a rectangle of the scene are expected to give, from a sample of
// positions (trees give several, everything else one).
double expectedReturnsPerPulse(const SceneModel& scene, double x0, double y0, double x1, double y1);

// The plan for `points` records over the scene of `seed`, sized by the returns that scene gives per pulse.
// It errs towards more pulses than needed, so the survey usually ends within its one pass.
SurveyPlan planFor(uint64_t points, uint64_t seed);

class PointGenerator {
public:
    static constexpr double Scale = 0.01;
    static constexpr double OffsetX = 640000.0;
    static constexpr double OffsetY = 5270000.0;
    static constexpr double OffsetZ = 300.0;
    // 2023-06-01 09:00 UTC as adjusted standard GPS time (GPS seconds minus 10^9).
    static constexpr double StartTime = 369645218.0;
    static constexpr int MaxReturns = 4;
    static constexpr uint8_t ClassGround = 2, ClassHighVegetation = 5, ClassBuilding = 6;

    // Produces exactly `points` records of `format` for `seed`. The plan defaults to planFor(points, seed);
    // when its strips run out first, the survey flies further passes, alternately across and along the first.
    // Throws std::runtime_error for a format other than 0 to 3 or a count outside 1 to 4294967295.
    PointGenerator(uint64_t points, int format, uint64_t seed);
    PointGenerator(uint64_t points, int format, uint64_t seed, const SurveyPlan& plan);
    ~PointGenerator();
    PointGenerator(const PointGenerator&) = delete;
    PointGenerator& operator=(const PointGenerator&) = delete;

    // Packs up to `capacity` records into `out` (capacity * recordLength() bytes) and returns how many it
    // wrote; 0 once all are written. The sequence of records does not depend on how it is split into calls.
    uint64_t generate(unsigned char* out, uint64_t capacity);

    int format() const;
    int recordLength() const;
    uint64_t total() const;
    uint64_t written() const;
    bool done() const { return written() == total(); }
    const GeneratorStats& stats() const;
    const SurveyPlan& plan() const;
    const SceneModel& scene() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace synth
