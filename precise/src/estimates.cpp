#include "estimates.h"

#include <algorithm>
#include <utility>

#include "correlation_search.h"
#include "refinement.h"

namespace pairfit {
namespace {

// The starts a repeated pattern leaves open: enough for the cells around the
// one the search ranks first.
const int kSearchedStarts = 4;

// The share of a reduced camera image with detail above its noise below
// which it shows nothing to find (blank, flat grey, a lens cap): the
// features' second try and the correlation search, the dearest starts,
// would search the noise.
constexpr double kCameraDetail = 0.002;

bool shows_detail(const cv::Mat& grey_small) {
    if (grey_small.empty()) return true;  // not reduced yet: the estimate decides
    cv::Mat f;
    grey_small.convertTo(f, CV_32F);
    const cv::Mat band = band_pass(f, band_pass_box(std::max(f.cols, f.rows)));
    return cv::countNonZero(cv::abs(band) > 2) >= kCameraDetail * f.total();
}

}  // namespace

Estimates estimates_of(const cv::Mat& img, const cv::Mat& cam, bool with_homography, CameraFeatures camera,
                       const std::atomic<bool>& abandoned) {
    if (abandoned) return {};
    if (!shows_detail(camera.small)) {
        FeatureEstimate reduced = reduced_pair(img, cam);
        return {std::move(reduced), {}};
    }
    Estimates e{estimate_from_features(img, cam, with_homography, std::move(camera)), {}};
    if (e.features.similarity || abandoned) return e;
    try {
        e.searched = correlation_candidates(e.features, kSearchedStarts);
    } catch (const cv::Exception&) {
        e.searched.clear();  // no starts from it; the exact search still competes
    }
    return e;
}

}  // namespace pairfit
