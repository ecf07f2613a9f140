#pragma once
// Cameras that are not a plane seen through a perfect lens: radial lens
// distortion, a print wrapped on a cylinder, gently wavy paper, plain
// similarity or tilt as a control, and a print with one corner curled up. Each is a known map from camera pixels
// to the reference pixel they show.

#include <functional>
#include <string>

#include <opencv2/core.hpp>

struct CurvedCase {
    std::string group;   // "lens", "cylinder", "wave", "control" or "curl"
    std::string detail;  // the distortion's size, for the listing
    cv::Size ref_size, cam_size;
    /// Camera pixel to the reference pixel it shows.
    std::function<cv::Point2d(cv::Point2d)> reference_of;
};

/// How many groups make_curved_case draws from.
const int kCurvedGroups = 5;

/// Pair k of a group (`group` 0 to kCurvedGroups - 1 in the order above):
/// 2000 x 1500 pixels, the distortion drawn from its range: |k1| 0.03 to
/// 0.12 of both signs (radius over the longer side), 10 to 30% of a
/// cylinder's circumference, waves of 0.3 to 1% of the longer side, 0.5 to
/// 1 of it long, a corner curled up from a fold line 60 to 90% of the
/// shorter side along both edges, by 0.3 to 0.9 radians.
CurvedCase make_curved_case(int group, cv::RNG& rng);

/// The reference's look-up for cv::remap: for each camera pixel the
/// reference pixel it shows (CV_32FC2).
cv::Mat reference_sources(const CurvedCase& c);
