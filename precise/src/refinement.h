#pragma once
// Refinement of a candidate map by maximising the correlation of the two
// images, band-passed, in two stages: the whole pair reduced, then the
// shift near the output square at full resolution.

#include <optional>

#include "feature_estimate.h"
#include "frames.h"
#include "pairfit/pipeline.h"

namespace pairfit {

using CanvasMap = Map<frame::Canvas, frame::Reference>;

/// How well a candidate lays the reference over the camera near the output
/// square: the correlation at the coarsest level of its window; -1 when the
/// window is too small or does not correlate.
double candidate_measure(const ExactSearch& found, const Frames& f, const CanvasMap& canvas_from_reference);

/// Stage one: scale, rotation and shift from all the content the two images
/// share, on the images reduced for the feature estimate. `close_start`: the
/// start is already close (the feature estimate), one level does.
/// None when it does not converge or does not raise the correlation.
std::optional<CanvasMap> refine_globally(const FeatureEstimate& reduced, const Frames& f,
                                         const CanvasMap& canvas_from_reference, bool close_start);

/// Stage two: the shift near the output square at the finest scale, with
/// scale and rotation kept. None when it does not converge, does not raise
/// the correlation or moves the square by more than 8 px.
std::optional<CanvasMap> refine_shift_near_crop(const ExactSearch& found, const Frames& f,
                                                const CanvasMap& canvas_from_reference);

}  // namespace pairfit
