#pragma once
// Refinement of a candidate map by maximising the correlation of the two
// images, band-passed, in two stages: the whole pair reduced, then the
// shift near the output square at full resolution. Maps are fitted where the
// pair's motion is a similarity or a homography: from the reference to the
// camera image as loaded.

#include <algorithm>
#include <optional>
#include <utility>

#include "ecc.h"
#include "feature_estimate.h"
#include "frames.h"

namespace pairfit {

/// The two images as loaded and where the output square lies in the camera.
struct PairView {
    cv::Mat reference, camera;  ///< 8-bit BGR, as loaded
    cv::Rect2d camera_square;   ///< the camera's output square, camera pixels
    int out_size = 0;
};

/// How well a candidate lays the reference over the camera near the output
/// square: the correlation at the coarsest level of its window; -1 when the
/// window is too small or does not correlate.
double candidate_measure(const PairView& pair, const CameraMap& camera_from_reference);

/// The same over the whole pair, on the images reduced for the feature
/// estimate: for candidates under which the output square shows too little
/// of the reference (blank paper) to be told apart there. -1 without reduced
/// images or when it does not correlate.
double whole_pair_measure(const FeatureEstimate& reduced, const CameraMap& camera_from_reference);

/// The correlation of the whole reduced pair under each of two maps, at the
/// reduced images' own resolution, both on the same band-passed images (the
/// camera's filter sized by the first map): a comparison of two fits of one
/// pair. -1 for a map under which it does not correlate.
std::pair<double, double> finest_correlations(const FeatureEstimate& reduced, const CameraMap& first,
                                              const CameraMap& second);

/// The correlation of the whole reduced pair under a map, at the reduced
/// images' own resolution: what tells a pair from an unrelated one where the
/// output square shows too little of the reference. -1 without reduced
/// images or when it does not correlate.
double whole_pair_correlation(const FeatureEstimate& reduced, const CameraMap& camera_from_reference);

/// A fit of the global stage and the correlation of the pair under it at
/// the stage's finest level.
struct GlobalFit {
    CameraMap map;
    double correlation = -1;
};

/// Stage one: the motion's parameters from all the content the two images
/// share, on the images reduced for the feature estimate. `close_start`: the
/// start is already close (the feature estimate), the finer level does.
/// None when it does not converge or does not correlate better than its
/// start.
std::optional<GlobalFit> refine_globally(const FeatureEstimate& reduced, const CameraMap& camera_from_reference,
                                         Motion motion, bool close_start);

/// Stage two: the motion near the output square at the finest scale, where
/// the error counts. None when it does not converge, does not correlate
/// better than its start or moves the square by more than 8 px.
std::optional<CameraMap> refine_near_crop(const PairView& pair, const CameraMap& camera_from_reference,
                                          Motion motion);

/// Smooths away pixel noise and removes the slow changes of light (box: the
/// side of the wide blur, odd), both enlarged by `ratio` for an image that
/// shows its subject `ratio` times larger than the other of its pair.
cv::Mat band_pass(const cv::Mat& image, int box, double ratio = 1.0);

/// The band-pass's box for an image whose longer side is `longer` px: about
/// a twentieth of it (2 * longer / 40 + 1, odd), so that the broad shading
/// of a photograph goes and strokes and edges stay; never below 9 px, where
/// it would take the strokes of a small image with it.
inline int band_pass_box(int longer) { return 2 * std::max(4, longer / 40) + 1; }

/// The camera defocus tried on a sharp template, in camera pixels (Gaussian
/// sigmas), in the order tried: the first that correlates no better ends the
/// search.
inline constexpr double kCameraBlurs[] = {0.6, 0.9, 1.2, 1.6, 2.0, 2.5, 3.0, 3.6};

/// Where a band-passed reference shows something, and `reach` pixels around
/// it (CV_8U): a blank stretch of paper tells a correlation nothing, and the
/// camera may show there what the reference does not (the edge of a shadow,
/// the desk).
cv::Mat content_mask(const cv::Mat& band_passed, int reach);

}  // namespace pairfit
