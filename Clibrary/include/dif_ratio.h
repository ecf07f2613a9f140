#pragma once
// The difference ratio every candidate of the search is scored by.

#include <opencv2/core.hpp>

/// Share of the region `roi` where the two images differ, plus a penalty of
/// 0.3 times the share of the image outside the region; 1.0 when the region
/// holds 2500 pixels or fewer.
double dif_ratio(cv::Mat imageA, cv::Mat imageB, cv::Mat roi);

/// The ratio from its counts: `dif_num` differing pixels inside a region of
/// `roi_num` pixels of a rows x cols image. Every scorer ends here, so that
/// all of them round alike.
double ratio_from_counts(int dif_num, int roi_num, int rows, int cols);
