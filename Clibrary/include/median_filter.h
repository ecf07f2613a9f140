#pragma once

#include <opencv2/core.hpp>

/// The median of every ksize x ksize window of an 8-bit single-channel image,
/// edges replicated: exactly cv::medianBlur(src, dst, ksize), in time that
/// does not grow with ksize, computed in `bands` horizontal bands on their
/// own threads. ksize is odd, 3 to 181.
cv::Mat median_filter(const cv::Mat& src, int ksize, int bands);
