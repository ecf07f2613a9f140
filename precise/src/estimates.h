#pragma once
// The starts the precise entry has besides the exact search: what the
// features make of a pair and, where they match nothing, the correlation
// search.

#include <atomic>
#include <vector>

#include <opencv2/core.hpp>

#include "feature_estimate.h"
#include "frames.h"

namespace pairfit {

// What the features make of a pair and, where they match nothing, the
// correlation search.
struct Estimates {
    FeatureEstimate features;
    std::vector<CameraMap> searched;
};

// Without a feature estimate the exact search would be the only start, and
// it has no rotation: on a repeated pattern it may settle on a neighbouring
// cell, which the refinement would then polish. A pair the exact search has
// given up on (a camera that cannot be binarised) is not searched further.
Estimates estimates_of(const cv::Mat& img, const cv::Mat& cam, bool with_homography, CameraFeatures camera,
                       const std::atomic<bool>& abandoned);

}  // namespace pairfit
