#pragma once
// A first estimate of the pair's map from ORB features matched between the
// two images reduced, fitted with RANSAC.

#include <optional>

#include <opencv2/core.hpp>

#include "frames.h"

namespace pairfit {

namespace frame {
/// The reference and the camera as loaded, halved (Gaussian pyramid) until
/// the longer side is at most 1400 px: full-resolution pixel x sits at
/// `factor` * x.
struct ReducedReference {};
struct ReducedCamera {};
}  // namespace frame

struct FeatureEstimate {
    /// Reference to camera as loaded, a similarity; none when too few
    /// matches agree.
    std::optional<CameraMap> similarity;
    /// The same from a homography fitted to the same matches, when asked
    /// for; none when too few matches agree with one.
    std::optional<CameraMap> homography;
    double factor = 1;             ///< of the reduced images below
    cv::Mat img_small, cam_small;  ///< the two images reduced and grey, CV_8U; empty on failure
};

/// The reduced images and the maps from their features. Runs beside the
/// exact search; an image library failure leaves it empty.
FeatureEstimate estimate_from_features(const cv::Mat& img, const cv::Mat& cam, bool with_homography);

}  // namespace pairfit
