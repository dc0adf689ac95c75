#include "AdaptiveDetail.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

AdaptiveDetail::AdaptiveDetail(const Options& o) : options_(o) {
    auto fail = [](const std::string& what) { throw std::invalid_argument("adaptive detail: " + what); };
    if (!(o.targetMs > 0) || !std::isfinite(o.targetMs))
        fail("the target frame time must be a positive number of milliseconds");
    if (!(o.lowerBand > 0 && o.lowerBand < 1))
        fail("the lower band must lie between 0 and 1");
    if (!(o.settleMs >= 0) || !std::isfinite(o.settleMs))
        fail("the settle time must not be negative");
    if (!(o.maxFactor >= 1) || !std::isfinite(o.maxFactor))
        fail("the largest factor must be at least 1");
    if (!(o.maxStep > 1) || !std::isfinite(o.maxStep))
        fail("the largest step must be above 1");
    if (!(o.smoothing > 0 && o.smoothing <= 1))
        fail("the smoothing weight must lie in (0, 1]");
    if (o.framesPerStep < 2)
        fail("a step needs at least 2 frames");
}

void AdaptiveDetail::reset() {
    factor_ = 1;
    mean_ = 0;
    framesSinceChange_ = 0;
    measured_ = 0;
    moving_ = false;
    raised_ = false;
}

double AdaptiveDetail::update(double user, double frameMs, bool cameraMoving, double nowMs) {
    if (!(user > 0) || !std::isfinite(user)) {
        raised_ = false;
        return user;
    }
    if (cameraMoving) {
        if (!moving_) { // a new move: measure it afresh with the factor of the last one
            moving_ = true;
            framesSinceChange_ = 0;
            measured_ = 0;
            mean_ = 0;
        }
        lastMoveMs_ = nowMs;
    } else if (moving_ && nowMs - lastMoveMs_ >= options_.settleMs) {
        moving_ = false;
    }
    if (!moving_) {
        raised_ = false;
        return user;
    }

    // The first frame after a change may still show the old selection: it is not measured.
    ++framesSinceChange_;
    if (cameraMoving && framesSinceChange_ > 1 && frameMs > 0 && std::isfinite(frameMs)) {
        mean_ = measured_ == 0 ? frameMs : options_.smoothing * frameMs + (1 - options_.smoothing) * mean_;
        ++measured_;
    }
    if (cameraMoving && measured_ > 0 && framesSinceChange_ >= options_.framesPerStep) {
        const double target = options_.targetMs, low = options_.lowerBand * target;
        if (mean_ > target || (mean_ < low && factor_ > 1)) {
            const double aim = (1 + options_.lowerBand) / 2 * target;
            const double step = std::clamp(std::sqrt(mean_ / aim), 1 / options_.maxStep, options_.maxStep);
            const double next = std::clamp(factor_ * step, 1.0, options_.maxFactor);
            if (next != factor_) {
                factor_ = next;
                framesSinceChange_ = 0;
                measured_ = 0;
                mean_ = 0;
            }
        }
    }
    raised_ = factor_ > 1;
    return user * factor_;
}
