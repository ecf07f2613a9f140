#pragma once

#include <opencv2/core.hpp>

namespace pairfit::detail {

/// The median of every ksize x ksize window of an 8-bit single-channel image,
/// edges replicated: exactly cv::medianBlur(src, dst, ksize), in time that
/// does not grow with ksize, computed in `bands` horizontal bands on their
/// own threads. ksize is odd, 3 to 181.
cv::Mat median_filter(const cv::Mat& src, int ksize, int bands);

/// The same for a source already given ksize / 2 replicated columns on each
/// side (as value_plane makes it), which saves a copy of a large image.
cv::Mat median_of_padded(const cv::Mat& padded, int ksize, int bands);

}  // namespace pairfit::detail
