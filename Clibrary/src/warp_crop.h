#pragma once
// One square of a nearest-neighbour warp, computed for that square alone.

#include <opencv2/core.hpp>

namespace pairfit::detail {

/// The region `rect` of cv::warpAffine(src, forward, src.size(), INTER_NEAREST,
/// BORDER_CONSTANT, fill), pixel for pixel, without warping the rest of the
/// image. `forward` is a 2x3 CV_64F map; src is 8-bit with 1 to 4 channels.
cv::Mat warp_crop(const cv::Mat& src, const cv::Mat& forward, const cv::Rect& rect,
                  const cv::Scalar& fill);

}  // namespace pairfit::detail
