#pragma once
// Enhanced correlation coefficient alignment over similarities.

#include <opencv2/core.hpp>

/// Maximises the enhanced correlation coefficient (Evangelidis and Psarakis)
/// of `in` warped onto `t` over similarities x' = a x - b y + t_x,
/// y' = b x + a y + t_y, where `w` is [a, -b, t_x; b, a, t_y] and maps `t`'s
/// pixels to `in`'s. `t` and `in` are CV_32F, `in_valid` CV_8U marks the
/// pixels of `in` that count. Stops after `iterations` steps or when a step
/// moves no pixel of `t` by more than `epsilon`. Returns the final
/// correlation, or -1 when the images do not correlate (w is then undefined).
/// With `shift_only`, a and b stay as they are and only the shift is fitted.
double ecc_similarity(const cv::Mat& t, const cv::Mat& in, const cv::Mat& in_valid, cv::Matx23d& w,
                      int iterations, double epsilon, bool shift_only = false);
