#pragma once
// The two nearest binary descriptors by Hamming distance, as
// cv::BFMatcher(cv::NORM_HAMMING).knnMatch with k = 2 finds them.

#include <vector>

#include <opencv2/core.hpp>

namespace pairfit {

struct NearestTwo {
    int first = -1, second = -1;  ///< rows of `to`; -1 when `to` has fewer rows
    int first_distance = 0, second_distance = 0;
};

/// For every row of `from`, the two rows of `to` nearest to it (CV_8U
/// descriptors whose width is a multiple of 8 bytes). Ties go to the earlier
/// row, as with OpenCV's matcher.
std::vector<NearestTwo> nearest_two(const cv::Mat& from, const cv::Mat& to);

}  // namespace pairfit
