#include "crop_measures.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "misalignment.h"
#include "refinement.h"

namespace pairfit {
namespace {

// The share of a square, below which it shows the reference too little to
// tell a pair from an unrelated one: blank paper, a smooth sky.
constexpr double kSquareDetail = 0.01;
// The fewest pixels a correlation is measured over.
constexpr int kFewestPixels = 16;
// A deformable field is free where the reference shows nothing: over blank
// stretches and past the last content it is carried by its smoothness, and
// no window sees how far it strays there. That unseen error, typically this
// many camera pixels and independent of what the windows measure, is added
// to their estimate in quadrature. (On four sets of 40 curved pairs the
// windows alone under-estimated the field's photographs under waves by
// 0.31-0.33 px; with 0.1 to 0.2 px added none was, and no result moved out
// of its band the other way.)
constexpr double kUnseenFieldError = 0.15;

// Where a band-passed reference shows detail above the image noise.
double share_of_detail(const cv::Mat& band_passed, const cv::Mat& mask) {
    cv::Mat detail = cv::abs(band_passed) > 2;
    detail &= mask;
    return static_cast<double>(cv::countNonZero(detail)) / cv::countNonZero(mask);
}

// Zero-mean normalised correlation of the two aligned crops, band-passed as
// the refinement sees them, where the reference has content away from its
// edges; 0 where the square shows next to none of the reference (a map
// that lays it elsewhere), none where what it shows is blank.
std::optional<double> square_correlation(const cv::Mat& reference_crop, const cv::Mat& camera_crop,
                                         const cv::Mat& reference_content) {
    cv::Mat t, in;
    cv::cvtColor(reference_crop, t, cv::COLOR_BGR2GRAY);
    cv::cvtColor(camera_crop, in, cv::COLOR_BGR2GRAY);
    t.convertTo(t, CV_32F);
    in.convertTo(in, CV_32F);
    // A square of a few pixels (a tiny out_size) cannot tell: the whole pair does.
    if (t.total() < kFewestPixels) return std::nullopt;
    const int box = band_pass_box(std::max(t.cols, t.rows));
    cv::Mat mask;
    cv::erode(reference_content, mask, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * box + 1, 2 * box + 1)));
    if (cv::countNonZero(mask) < kFewestPixels) return 0;
    const cv::Mat t_band = band_pass(t, box);
    if (share_of_detail(t_band, mask) < kSquareDetail) return std::nullopt;
    const double rho = cv::computeECC(t_band, band_pass(in, box), mask);
    return std::isfinite(rho) ? rho : 0;
}

}  // namespace

double crop_correlation(const cv::Mat& reference_crop, const cv::Mat& camera_crop, const cv::Mat& reference_content,
                        const std::function<double()>& whole_pair) {
    const std::optional<double> square = square_correlation(reference_crop, camera_crop, reference_content);
    if (square) return *square;
    try {
        const double whole = whole_pair();
        return whole > -1 ? whole : 0;
    } catch (const cv::Exception&) {
        return 0;  // images too small to reduce: nothing to tell either
    }
}

double misalignment_of(const cv::Mat& reference_crop, const cv::Mat& camera_crop, const cv::Mat& reference_content,
                       const Frames& f, bool through_field) {
    const double camera_per_square = camera_square_of(f).width / reference_crop.cols;
    const double windows = misalignment_px(local_shifts(reference_crop, camera_crop, reference_content),
                                           reference_crop.cols, camera_per_square);
    return through_field ? std::hypot(windows, kUnseenFieldError) : windows;
}

}  // namespace pairfit
