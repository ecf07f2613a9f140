#pragma once
// The two passes of the exact search: coarse on 100-px images, fine on
// 300-px ones. The pipeline and the benchmark run them from this table.

#include <opencv2/core.hpp>

#include "SimMat.h"

namespace pairfit {

/// One search pass: the longer side of its reduced images, its shift
/// window and step, its workers, and whether it also tries scale changes.
struct SearchPass {
    int size_max;
    int shift_max;
    int match_step;
    int threads;
    bool with_scales;
};

inline constexpr SearchPass kCoarsePass{100, 50, 5, 10, true};
inline constexpr SearchPass kFinePass{300, 5, 1, 5, false};
/// No candidate is good enough to stop a column early.
inline constexpr double kThresholdErr = 0.0;

/// Runs `pass` on the two reduced binary images, refining `transform` in
/// place (in the pass's frame); returns the best ratio.
double run_pass(const SearchPass& pass, SimMat& transform, const cv::Mat& img_scaled,
                const cv::Mat& cam_scaled, bool fast_scoring = true);

/// The factor that takes the coarse pass's transform into the fine pass's
/// frame. Above the fine size the fixed ratio of the two frame sizes is
/// exact; a smaller reference is searched unscaled in the fine pass, so the
/// ratio of the two factors actually used keeps the frames consistent.
double carry_ratio(cv::Size reference, double scale_1, double scale_2);

}  // namespace pairfit
