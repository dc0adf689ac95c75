#pragma once
// A bounded, deterministic sample of the raw heights and intensities of the points filed so far, from
// which the colour modes by height and by intensity take the range they stretch over. It holds the
// points whose running number is a multiple of a stride; when full, it keeps every other one and
// doubles the stride, so the same points in the same order always give the same sample.
#include "GeometryTypes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class AttributeSample {
public:
    explicit AttributeSample(std::size_t capacity = 65536);

    // Offers n points in filing order; `attributes` may be null (no intensities: the points are
    // counted, not sampled).
    void add(const Splat* splats, const PointAttributes* attributes, std::size_t n);

    // Raw heights and intensities at the two percentiles (0 to 100, nearest rank); false while the
    // sample is empty. Recomputed only after the sample changed or for other percentiles.
    bool percentiles(float lowPct, float highPct, double& zLow, double& zHigh, double& iLow, double& iHigh);

    std::size_t size() const { return z_.size(); }
    std::uint64_t offered() const { return offered_; }
    std::uint64_t stride() const { return stride_; }

private:
    void thin();

    std::size_t capacity_;
    std::uint64_t offered_ = 0;
    std::uint64_t stride_ = 1;
    std::vector<std::int32_t> z_;
    std::vector<std::uint16_t> intensity_;

    // The last answer, valid while `answered_` and nothing was added since.
    bool answered_ = false;
    float lowPct_ = 0, highPct_ = 0;
    double answer_[4] = {};
};
