#pragma once
// The output squares: the reference warped onto the camera's square and the
// camera's square masked where the warp shows no reference, saved as the
// request asks.

#include <opencv2/core.hpp>

#include "choice.h"
#include "deformable.h"
#include "frames.h"
#include "pairfit/precise.h"

namespace pairfit {

// Where the output square shows the reference: the pixels whose source lies
// within the reference's pixel centres (computed, not warped: a warp would
// need a reference-sized image of ones).
cv::Mat content_of(const cv::Mat& img, const Map<frame::Square, frame::Reference>& square_from_reference, int out);

// The final warp, bilinear, of the output square only, and the camera crop
// masked where the warped reference has no content.
void warp_and_save(const Scene& s, const CameraMap& camera_from_reference, const DisplacementField& field,
                   PreciseResult& r);

}  // namespace pairfit
