#include "feature_estimate.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

namespace pairfit {
namespace {

// Matching points of the reference and the camera, full resolution.
struct Matches {
    std::vector<cv::Point2f> from, to;
};

// ORB features of the two reduced images matched with Lowe's ratio test.
Matches match_features(const cv::Mat& img_small, const cv::Mat& cam_small, double factor, int features,
                       int levels) {
    const cv::Ptr<cv::ORB> orb = cv::ORB::create(features, 1.2f, levels);
    std::vector<cv::KeyPoint> kp_img, kp_cam;
    cv::Mat desc_img, desc_cam;
    orb->detectAndCompute(img_small, cv::noArray(), kp_img, desc_img);
    orb->detectAndCompute(cam_small, cv::noArray(), kp_cam, desc_cam);
    Matches matches;
    if (kp_img.size() < 8 || kp_cam.size() < 8) return matches;
    std::vector<std::vector<cv::DMatch>> knn;
    cv::BFMatcher(cv::NORM_HAMMING).knnMatch(desc_img, desc_cam, knn, 2);
    for (const std::vector<cv::DMatch>& m : knn) {
        if (m.size() < 2 || m[0].distance >= 0.8f * m[1].distance) continue;
        matches.from.push_back(kp_img[m[0].queryIdx].pt * static_cast<float>(1 / factor));
        matches.to.push_back(kp_cam[m[0].trainIdx].pt * static_cast<float>(1 / factor));
    }
    return matches;
}

const int kMinInliers = 12;

bool plausible_scale(const cv::Matx33d& m) {
    const double s = std::sqrt(std::abs(m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0)));
    return s > 0.5 && s < 2.0;
}

std::optional<CameraMap> similarity_of(const Matches& m, double factor) {
    if (m.from.size() < kMinInliers) return std::nullopt;
    std::vector<uchar> inliers;
    const cv::Mat fit = cv::estimateAffinePartial2D(m.from, m.to, inliers, cv::RANSAC, 3.0 / factor, 4000, 0.999, 20);
    if (fit.empty() || cv::countNonZero(inliers) < kMinInliers) return std::nullopt;
    const CameraMap map(with_last_row(fit));
    if (!plausible_scale(map.matrix())) return std::nullopt;
    return map;
}

std::optional<CameraMap> homography_of(const Matches& m, double factor) {
    if (m.from.size() < kMinInliers) return std::nullopt;
    std::vector<uchar> inliers;
    const cv::Mat fit = cv::findHomography(m.from, m.to, cv::RANSAC, 3.0 / factor, inliers, 4000, 0.999);
    if (fit.empty() || cv::countNonZero(inliers) < kMinInliers) return std::nullopt;
    const CameraMap map{cv::Matx33d(fit.ptr<double>())};
    if (!plausible_scale(map.matrix())) return std::nullopt;
    return map;
}

}  // namespace

FeatureEstimate estimate_from_features(const cv::Mat& img, const cv::Mat& cam, bool with_homography) try {
    FeatureEstimate e;
    // Halved (Gaussian pyramid): fast, free of aliasing, and pixel x of the
    // result sits at 2^n x.
    int halvings = 0;
    while ((std::max(img.cols, img.rows) >> halvings) > 1400) ++halvings;
    const auto reduced_grey = [halvings](const cv::Mat& bgr) {
        cv::Mat g;
        cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
        for (int k = 0; k < halvings; ++k) cv::pyrDown(g, g);
        return g;
    };
    e.factor = 1.0 / (1 << halvings);
    e.img_small = reduced_grey(img);
    e.cam_small = reduced_grey(cam);
    // Photographs of a flat subject differ in scale by a few per cent: four
    // pyramid levels of ORB's eight and 1500 features usually do; smooth
    // subjects (photographs) get a second, fuller try.
    Matches matches = match_features(e.img_small, e.cam_small, e.factor, 1500, 4);
    e.similarity = similarity_of(matches, e.factor);
    if (!e.similarity) {
        matches = match_features(e.img_small, e.cam_small, e.factor, 4000, 8);
        e.similarity = similarity_of(matches, e.factor);
    }
    if (with_homography) e.homography = homography_of(matches, e.factor);
    return e;
} catch (const cv::Exception&) {
    return FeatureEstimate();  // no estimate; the exact search still competes
}

}  // namespace pairfit
