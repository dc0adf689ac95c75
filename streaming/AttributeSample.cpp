#include "AttributeSample.h"

#include <algorithm>
#include <cmath>

AttributeSample::AttributeSample(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 2)) {
    z_.reserve(capacity_);
    intensity_.reserve(capacity_);
}

void AttributeSample::thin() {
    // The entries are the points numbered 0, k, 2k, ...: the even ones are the multiples of 2k.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < z_.size(); i += 2, ++kept) {
        z_[kept] = z_[i];
        intensity_[kept] = intensity_[i];
    }
    z_.resize(kept);
    intensity_.resize(kept);
    stride_ *= 2;
}

void AttributeSample::add(const Splat* splats, const PointAttributes* attributes, std::size_t n) {
    const std::uint64_t first = offered_, end = offered_ + n;
    offered_ = end;
    if (attributes == nullptr || n == 0)
        return;
    // Only the sampled points are visited: the next multiple of the stride, and so on.
    for (std::uint64_t at = (first + stride_ - 1) / stride_ * stride_; at < end;) {
        const std::size_t i = std::size_t(at - first);
        z_.push_back(splats[i].z);
        intensity_.push_back(attributes[i].intensity());
        if (z_.size() == capacity_)
            thin();
        at = (at / stride_ + 1) * stride_;
    }
    answered_ = false;
}

namespace {
template <class T> double rank(std::vector<T>& values, float pct) {
    const double p = std::clamp(double(pct), 0.0, 100.0) / 100.0;
    const auto k = std::size_t(std::llround(p * double(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(k), values.end());
    return double(values[k]);
}
} // namespace

bool AttributeSample::percentiles(float lowPct, float highPct, double& zLow, double& zHigh, double& iLow,
                                  double& iHigh) {
    if (z_.empty())
        return false;
    if (!answered_ || lowPct != lowPct_ || highPct != highPct_) {
        std::vector<std::int32_t> z(z_);
        std::vector<std::uint16_t> intensity(intensity_);
        answer_[0] = rank(z, lowPct);
        answer_[1] = rank(z, highPct);
        answer_[2] = rank(intensity, lowPct);
        answer_[3] = rank(intensity, highPct);
        answered_ = true;
        lowPct_ = lowPct;
        highPct_ = highPct;
    }
    zLow = answer_[0];
    zHigh = answer_[1];
    iLow = answer_[2];
    iHigh = answer_[3];
    return true;
}
