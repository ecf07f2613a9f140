#pragma once
// Full-resolution preparation steps, spread over the cores where that pays,
// each identical to the single OpenCV call it replaces.

#include <array>
#include <functional>

#include <opencv2/core.hpp>

#include "pairfit/core.h"
#include "work_split.h"

namespace pairfit::detail {

/// The value plane of the HSV image of an 8-bit BGR image: for 8-bit input
/// cv::cvtColor's V is exactly the largest of the three channels. `margin`
/// columns on each side repeat the edge columns.
cv::Mat value_plane(const cv::Mat& bgr, int bands, int margin = 0);

using Histogram = std::array<long long, 256>;

/// The counts of the 256 values of an 8-bit single-channel image.
Histogram histogram_in_bands(const cv::Mat& grey, int bands);

/// The threshold cv::threshold(THRESH_OTSU) picks for an image with these counts.
int otsu_threshold(const Histogram& counts);

/// Applies a row-local `filter` (one whose output row depends on input rows
/// at most `halo` away) in horizontal bands, each given `halo` rows of its
/// neighbours as context, so that every band's own rows come out as in the
/// whole-image call.
cv::Mat filter_in_bands(const cv::Mat& src, int halo, int bands,
                        const std::function<cv::Mat(const cv::Mat&)>& filter);

/// Pixels above `threshold` (as cv::threshold(THRESH_BINARY, 255)), opened
/// and closed with a `small` rectangle, then dilated with a `large` one
/// (anchors at their centres, OpenCV's default border), computed in bands.
cv::Mat open_close_dilate_in_bands(const cv::Mat& grey, int threshold, const cv::Size& small,
                                   const cv::Size& large, int bands);

}  // namespace pairfit::detail
