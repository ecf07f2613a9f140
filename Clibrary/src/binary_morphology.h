#pragma once

#include <opencv2/core.hpp>

namespace pairfit::detail {

/// The reference's clean-up on the pixels of `grey` above `threshold`: an
/// opening and a closing with a `small` rectangle, then a dilation with a
/// `large` one (anchors at their centres, nothing outside the image taking
/// part). Exactly cv::threshold(THRESH_BINARY, 255) followed by
/// cv::morphologyEx(MORPH_OPEN), cv::morphologyEx(MORPH_CLOSE) and
/// cv::dilate with OpenCV's defaults, on bits: 64 pixels a word.
cv::Mat open_close_dilate_above(const cv::Mat& grey, int threshold, const cv::Size& small,
                                const cv::Size& large);

}  // namespace pairfit::detail
