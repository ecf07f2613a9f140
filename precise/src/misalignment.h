#pragma once
// How far apart two aligned squares still are, measured from the squares
// themselves: local shifts of small windows of the camera crop against the
// reference crop, wherever the reference shows enough detail in both
// directions to pin a window down. A good planar fit leaves a few hundredths
// of a pixel; a homography over a curved label or through a distorting lens
// leaves pixels that differ from one part of the square to another.

#include <vector>

#include <opencv2/core.hpp>

namespace pairfit {

/// One window's measurement, in pixels of the square.
struct LocalShift {
    cv::Point2d centre;  ///< the window's centre in the square
    cv::Point2d shift;   ///< where the camera shows what the reference shows at `centre`, less `centre`
    /// False where the camera does not show what the reference shows within
    /// the window's reach: `shift` is then that reach.
    bool matched = true;
};

/// The local shifts of the camera crop against the reference crop (both
/// out x out, 8-bit BGR, aligned), in windows where `reference_content`
/// (CV_8U, the square's pixels that show the reference) covers the window
/// and the reference has detail in two directions. Windows whose shift
/// cannot be measured to a few hundredths of a pixel are left out.
std::vector<LocalShift> local_shifts(const cv::Mat& reference_crop, const cv::Mat& camera_crop,
                                     const cv::Mat& reference_content);

/// The 95th percentile over the square (side `out`) of how far apart the
/// crops are, times `camera_per_square` (camera pixels per square pixel:
/// the crops of a camera smaller than the reference are enlarged). Where
/// the windows cover the square, from a smooth field fitted to their shifts
/// (the square's edges, which no window's centre reaches, included);
/// otherwise from the windows alone. Where most windows do not match, their
/// reach: the crops are at least that far apart. NaN when fewer windows than
/// a fair sample of the square were measured.
double misalignment_px(const std::vector<LocalShift>& shifts, int out, double camera_per_square);

}  // namespace pairfit
