#pragma once
// The deformable model: a smooth displacement field added to the homography
// (a lens's distortion, a print on a bottle, wavy paper), fitted by
// Gauss-Newton on the correlation of the whole pair reduced, coarse to fine,
// the homography held.

#include <string>

#include <opencv2/core.hpp>

#include "feature_estimate.h"
#include "frames.h"
#include "pairfit/precise.h"

namespace pairfit {

/// Whether the deformable model's field was used, and why not.
enum class DeformableUse { not_asked, fitted, not_needed, folded };

/// The field where it earns its parameters over the pair's map (camera
/// pixels of the output square `camera_square`), and whether it did.
struct FieldChoice {
    DeformableUse use = DeformableUse::not_needed;
    DisplacementField field;  ///< empty unless fitted
    /// How far the field may stray where the data leaves it to its
    /// smoothness (camera pixels, 95th percentile over the output square of
    /// its posterior spread): no window of the crops sees that.
    double spread_px = 0;
};

/// True when the whole map, `camera_from_reference` plus `field`, turns some
/// part of the output square `camera_square` (camera pixels) over or
/// squeezes it to less than a quarter of the area the homography gives it.
bool field_folds(const CameraMap& camera_from_reference, const DisplacementField& field,
                 const cv::Rect2d& camera_square);

FieldChoice field_choice(const FeatureEstimate& reduced, const CameraMap& camera_from_reference, cv::Size reference,
                         const cv::Rect2d& camera_square);

/// The end of `method` with the deformable model: ":deformable", or the
/// model used instead and why.
std::string deformable_method(DeformableUse use, bool homography);

/// For each pixel of the output square, the reference pixel the whole map
/// shows there (CV_32FC2, for cv::remap): exact on a lattice of a few
/// pixels, bilinear between. `camera_from_square` places the square.
cv::Mat square_sources(const CameraMap& camera_from_reference, const DisplacementField& field,
                       const Map<frame::Camera, frame::Square>& camera_from_square, int out);

}  // namespace pairfit
