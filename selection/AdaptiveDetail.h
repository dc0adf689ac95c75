#pragma once
// Keeps the view responsive while the camera moves: from the measured frame times it raises the minimum
// projected splat size handed to the render selection, so that fewer and coarser splats are drawn, and
// hands back the user's own value once the camera has been still for a moment.
//
// Model: a frame's cost grows with the splats drawn, which fall with the square of the threshold, so a
// frame time t at factor f is brought to the aim a by f' = f · sqrt(t / a). The aim lies inside a band
// [lowerBand · target, target]; inside the band nothing changes (hysteresis), and after each change the
// next frames are measured afresh before the next step (the selection needs a cycle to react). The
// factor stays between 1 and maxFactor and is remembered across pauses, so the next move starts where
// the last one ended.
//
// Pure logic, no GL, no clock of its own: the caller passes its time stamps. One thread.
class AdaptiveDetail {
public:
    struct Options {
        double targetMs = 50;   // frame time aimed at while the camera moves
        double lowerBand = 0.6; // the factor is eased only below this fraction of the target
        double settleMs = 400;  // the camera still this long: the user's value again
        double maxFactor = 8;   // the threshold is raised at most this much
        double maxStep = 2;     // one change multiplies or divides the factor by at most this
        double smoothing = 0.4; // weight of a new frame time in the running mean
        int framesPerStep = 3;  // frames after a change: the first is skipped, the rest measured
    };

    AdaptiveDetail() : AdaptiveDetail(Options{}) {}
    // Throws std::invalid_argument for options that cannot work (a target that is not positive, a band
    // outside (0, 1), a factor or step below 1, smoothing outside (0, 1], fewer than 2 frames a step).
    explicit AdaptiveDetail(const Options& options);

    // Once a frame, on the thread that draws. `userMinProjectedSize` is the panel's value, `frameMs` the
    // time the last frame took, `cameraMoving` whether the eye or the centre changed in this frame, `nowMs`
    // a monotonic time stamp. Returns the minimum projected size to hand to the render selection: the
    // user's value while the camera is still (after the settle time), the raised value while it moves.
    // Frame times that are not finite and positive are not measured; a user value that is not finite and
    // positive is returned unchanged.
    double update(double userMinProjectedSize, double frameMs, bool cameraMoving, double nowMs);

    // Current raise of the threshold (1: none). While the camera is still it is kept for the next move.
    double factor() const { return factor_; }
    // True while the value last returned was above the user's.
    bool raised() const { return raised_; }
    // Running mean of the frame times measured since the last change, 0 before any.
    double meanFrameMs() const { return mean_; }
    // Forgets the factor learnt so far (a new data set, a new window size).
    void reset();
    const Options& options() const { return options_; }

private:
    Options options_;
    double factor_ = 1;
    double mean_ = 0;
    int framesSinceChange_ = 0;
    int measured_ = 0;
    bool moving_ = false;
    double lastMoveMs_ = 0;
    bool raised_ = false;
};
