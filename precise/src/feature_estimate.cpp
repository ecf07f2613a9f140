#include "feature_estimate.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

namespace pairfit {
namespace {

// Matches ORB features of the two reduced images and fits a similarity
// (reference to camera, full resolution) with RANSAC; none when too few
// matches agree.
std::optional<Map<frame::Camera, frame::Reference>> match_features(const cv::Mat& img_small,
                                                                    const cv::Mat& cam_small,
                                                                    double factor, int features,
                                                                    int levels) {
    const cv::Ptr<cv::ORB> orb = cv::ORB::create(features, 1.2f, levels);
    std::vector<cv::KeyPoint> kp_img, kp_cam;
    cv::Mat desc_img, desc_cam;
    orb->detectAndCompute(img_small, cv::noArray(), kp_img, desc_img);
    orb->detectAndCompute(cam_small, cv::noArray(), kp_cam, desc_cam);
    if (kp_img.size() < 8 || kp_cam.size() < 8) return std::nullopt;
    std::vector<std::vector<cv::DMatch>> knn;
    cv::BFMatcher(cv::NORM_HAMMING).knnMatch(desc_img, desc_cam, knn, 2);
    std::vector<cv::Point2f> from, to;
    for (const std::vector<cv::DMatch>& m : knn) {
        if (m.size() < 2 || m[0].distance >= 0.8f * m[1].distance) continue;  // Lowe's ratio test
        from.push_back(kp_img[m[0].queryIdx].pt * static_cast<float>(1 / factor));
        to.push_back(kp_cam[m[0].trainIdx].pt * static_cast<float>(1 / factor));
    }
    if (from.size() < 12) return std::nullopt;
    std::vector<uchar> inliers;
    const cv::Mat m = cv::estimateAffinePartial2D(from, to, inliers, cv::RANSAC, 3.0 / factor, 4000,
                                                  0.999, 20);
    if (m.empty() || cv::countNonZero(inliers) < 12) return std::nullopt;
    const Map<frame::Camera, frame::Reference> camera_from_reference(with_last_row(m));
    const cv::Matx33d& h = camera_from_reference.matrix();
    const double s = std::hypot(h(0, 0), h(1, 0));
    if (!(s > 0.5 && s < 2.0)) return std::nullopt;
    return camera_from_reference;
}

}  // namespace

FeatureEstimate estimate_from_features(const cv::Mat& img, const cv::Mat& cam) try {
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
    e.camera_from_reference = match_features(e.img_small, e.cam_small, e.factor, 1500, 4);
    if (!e.camera_from_reference) {
        e.camera_from_reference = match_features(e.img_small, e.cam_small, e.factor, 4000, 8);
    }
    return e;
} catch (const cv::Exception&) {
    return FeatureEstimate();  // no estimate; the exact search still competes
}

}  // namespace pairfit
