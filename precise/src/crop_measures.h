#pragma once
// How well the two written crops agree: their correlation and how far apart
// they still are.

#include <functional>

#include <opencv2/core.hpp>

#include "frames.h"

namespace pairfit {

// The square's correlation, or the whole pair's where the square shows too
// little: a true pair whose square is blank paper must not read as unrelated.
// 0 where neither can tell.
double crop_correlation(const cv::Mat& reference_crop, const cv::Mat& camera_crop, const cv::Mat& reference_content,
                        const std::function<double()>& whole_pair);

// The crops' own estimate of how far apart they are, in camera pixels (the
// crops of a camera smaller than the reference are enlarged).
// `through_field`: the crops were warped through a deformable field, whose
// error where the reference is blank the crops cannot show.
double misalignment_of(const cv::Mat& reference_crop, const cv::Mat& camera_crop, const cv::Mat& reference_content,
                       const Frames& f, bool through_field);

}  // namespace pairfit
