#include "pairfit/interruption.h"
#include "feature_estimate.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "hamming.h"

namespace pairfit {
namespace {

// Matching points of the reference and the camera, full resolution.
struct Matches {
    std::vector<cv::Point2f> from, to;
};

ImageFeatures detected(const cv::Mat& small, int features, int levels) {
    ImageFeatures f;
    cv::ORB::create(features, 1.2f, levels)->detectAndCompute(small, cv::noArray(), f.keypoints, f.descriptors);
    return f;
}

// ORB features of the two reduced images matched with Lowe's ratio test.
Matches match_features(const ImageFeatures& img, const ImageFeatures& cam, double factor) {
    Matches matches;
    if (img.keypoints.size() < 8 || cam.keypoints.size() < 8) return matches;
    const std::vector<NearestTwo> nearest = nearest_two(img.descriptors, cam.descriptors);
    for (size_t i = 0; i < nearest.size(); ++i) {
        const NearestTwo& n = nearest[i];
        if (n.second < 0 || static_cast<float>(n.first_distance) >= 0.8f * static_cast<float>(n.second_distance)) continue;
        matches.from.push_back(img.keypoints[i].pt * static_cast<float>(1 / factor));
        matches.to.push_back(cam.keypoints[n.first].pt * static_cast<float>(1 / factor));
    }
    return matches;
}

// Grey and halved once, in bands of rows: the full-size grey image is never
// held, which spares most of the memory traffic, and the pixels are the
// same. Output row r reads input rows 2r - 2 to 2r + 2: a band of output
// rows takes the input rows they read, from an even row.
cv::Mat grey_halved(const cv::Mat& bgr) {
    const int band = 64;  // output rows
    cv::Mat half((bgr.rows + 1) / 2, (bgr.cols + 1) / 2, CV_8U), grey, down;
    for (int first = 0; first < half.rows; first += band) {
        pairfit::interruption_point();
        const int last = std::min(half.rows, first + band);
        const int from = std::max(0, 2 * first - 2), to = std::min(bgr.rows, 2 * last + 1);
        cv::cvtColor(bgr.rowRange(from, to), grey, cv::COLOR_BGR2GRAY);
        cv::pyrDown(grey, down, cv::Size(half.cols, (grey.rows + 1) / 2));
        const int skip = (2 * first - from) / 2;
        down.rowRange(skip, skip + last - first).copyTo(half.rowRange(first, last));
    }
    return half;
}

// Photographs of a flat subject differ in scale by a few per cent: four
// pyramid levels of ORB's eight and 1500 features usually do; smooth
// subjects (photographs) get a second, fuller try.
const int kFirstFeatures = 1500, kFirstLevels = 4;
const int kSecondFeatures = 4000, kSecondLevels = 8;

// RANSAC finds some consensus among a handful of random matches of an
// unrelated pair; a dozen matches that agree within 3 px rarely happen by
// chance, and a true pair at the reduced size gives far more.
const int kMinInliers = 12;

// A camera image shows its subject at a scale within a factor of two of the
// reference's (the exact search tries only a few per cent): a fit outside
// it has matched a repeated pattern at another size, or nothing.
bool plausible_scale(const cv::Matx33d& m) {
    const double s = std::sqrt(std::abs(m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0)));
    return s > 0.5 && s < 2.0;
}

// The similarity or the homography that enough of the matches agree with.
std::optional<CameraMap> fitted_map(const Matches& m, double factor, bool homography) {
    if (m.from.size() < kMinInliers) return std::nullopt;
    std::vector<uchar> inliers;
    const cv::Mat fit =
        homography ? cv::findHomography(m.from, m.to, cv::RANSAC, 3.0 / factor, inliers, 4000, 0.999)
                   : cv::estimateAffinePartial2D(m.from, m.to, inliers, cv::RANSAC, 3.0 / factor, 4000, 0.999, 20);
    if (fit.empty() || cv::countNonZero(inliers) < kMinInliers) return std::nullopt;
    const CameraMap map(homography ? cv::Matx33d(fit.ptr<double>()) : with_last_row(fit));
    if (!plausible_scale(map.matrix())) return std::nullopt;
    return map;
}

}  // namespace

cv::Mat reduced_grey(const cv::Mat& bgr, int halvings) {
    cv::Mat g;
    if (halvings == 0) {
        cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
        return g;
    }
    g = grey_halved(bgr);
    for (int k = 1; k < halvings; ++k) {
        pairfit::interruption_point();
        cv::pyrDown(g, g);
    }
    return g;
}

int halvings_for(cv::Size reference) {
    int halvings = 0;
    while ((std::max(reference.width, reference.height) >> halvings) > 1400) ++halvings;
    return halvings;
}

FeatureEstimate reduced_reference(const cv::Mat& img) {
    FeatureEstimate e;
    const int halvings = halvings_for(img.size());
    e.factor = 1.0 / (1 << halvings);
    e.img_small = reduced_grey(img, halvings);
    return e;
}

FeatureEstimate reduced_pair(const cv::Mat& img, const cv::Mat& cam) {
    FeatureEstimate e = reduced_reference(img);
    e.cam_small = reduced_grey(cam, halvings_for(img.size()));
    return e;
}

CameraFeatures camera_features(const cv::Mat& cam, int halvings) try {
    CameraFeatures c;
    c.small = reduced_grey(cam, halvings);
    c.first = detected(c.small, kFirstFeatures, kFirstLevels);
    c.halvings = halvings;
    return c;
} catch (const cv::Exception&) {
    return CameraFeatures();  // the estimate tries again and fails there
}

FeatureEstimate estimate_from_features(const cv::Mat& img, const cv::Mat& cam, bool with_homography,
                                       CameraFeatures camera) try {
    const int halvings = halvings_for(img.size());
    if (camera.halvings != halvings) {
        camera.small = reduced_grey(cam, halvings);
        camera.first = detected(camera.small, kFirstFeatures, kFirstLevels);
    }
    FeatureEstimate e = reduced_reference(img);
    e.cam_small = camera.small;
    Matches matches = match_features(detected(e.img_small, kFirstFeatures, kFirstLevels), camera.first, e.factor);
    e.similarity = fitted_map(matches, e.factor, false);
    if (!e.similarity) {
        matches = match_features(detected(e.img_small, kSecondFeatures, kSecondLevels),
                                 detected(e.cam_small, kSecondFeatures, kSecondLevels), e.factor);
        e.similarity = fitted_map(matches, e.factor, false);
    }
    if (with_homography) e.homography = fitted_map(matches, e.factor, true);
    return e;
} catch (const cv::Exception&) {
    return FeatureEstimate();  // no estimate; the exact search still competes
}

}  // namespace pairfit
