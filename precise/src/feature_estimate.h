#pragma once
// A first estimate of the pair's map from ORB features matched between the
// two images reduced, fitted with RANSAC.

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "frames.h"

namespace pairfit {

struct FeatureEstimate {
    /// Reference to camera as loaded, a similarity; none when too few
    /// matches agree.
    std::optional<CameraMap> similarity;
    /// The same from a homography fitted to the same matches, when asked
    /// for; none when too few matches agree with one.
    std::optional<CameraMap> homography;
    /// The images below are those as loaded halved (Gaussian pyramid) until
    /// the longer side is at most 1400 px: pixel x as loaded sits at factor * x.
    double factor = 1;
    cv::Mat img_small, cam_small;  ///< the two images reduced and grey, CV_8U; empty on failure
};

/// ORB features of one reduced image.
struct ImageFeatures {
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
};

/// The camera's part of the estimate, which needs nothing of the reference
/// but its size: the camera reduced and grey, and its features for the
/// first try.
struct CameraFeatures {
    int halvings = -1;  ///< the reduction it was made for; -1 for none
    cv::Mat small;
    ImageFeatures first;
};

/// `bgr` grey and halved `halvings` times (Gaussian pyramid): fast, free of
/// aliasing, and pixel x of the result sits at 2^n x.
cv::Mat reduced_grey(const cv::Mat& bgr, int halvings);

/// How often a reference of this size is halved for the estimate.
int halvings_for(cv::Size reference);

/// The two images reduced as the estimate reduces them, without features.
FeatureEstimate reduced_pair(const cv::Mat& img, const cv::Mat& cam);

/// The reference's part of `reduced_pair`: what needs nothing of the camera.
FeatureEstimate reduced_reference(const cv::Mat& img);

/// The camera's part, for a reference halved `halvings` times; it can run
/// while the reference decodes. An OpenCV failure leaves it empty.
CameraFeatures camera_features(const cv::Mat& cam, int halvings);

/// The reduced images and the maps from their features, from the camera's
/// part when it was made for this reference (made here otherwise). Runs
/// beside the exact search; an OpenCV failure leaves it empty.
FeatureEstimate estimate_from_features(const cv::Mat& img, const cv::Mat& cam, bool with_homography,
                                       CameraFeatures camera = CameraFeatures());

}  // namespace pairfit
