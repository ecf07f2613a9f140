#include "frames.h"

#include <algorithm>
#include <cmath>

namespace pairfit {
namespace {

// A camera image smaller than the reference was resized (pixel centres kept)
// and centred on a border (ICPair::camMakeBorder); this undoes that.
Map<frame::Camera, frame::Fitted> camera_from_fitted_of(cv::Size loaded, cv::Size reference) {
    const cv::Rect fit = ICPair::fitted_camera(loaded, reference);
    if (fit == cv::Rect(cv::Point(), loaded)) return {};
    const double fx = static_cast<double>(fit.width) / loaded.width, fy = static_cast<double>(fit.height) / loaded.height;
    // fitted = (loaded + 0.5) * f - 0.5 + border
    const Map<frame::Fitted, frame::Camera> fitted_from_camera(
        cv::Matx33d(fx, 0, 0.5 * fx - 0.5 + fit.x, 0, fy, 0.5 * fy - 0.5 + fit.y, 0, 0, 1));
    return fitted_from_camera.inverse();
}

}  // namespace

cv::Matx23d top_rows(const cv::Matx33d& m) {
    return cv::Matx23d(m(0, 0), m(0, 1), m(0, 2), m(1, 0), m(1, 1), m(1, 2));
}

cv::Matx33d with_last_row(const cv::Mat& two_by_three) {
    cv::Mat d;
    two_by_three.convertTo(d, CV_64F);
    return cv::Matx33d(d.at<double>(0, 0), d.at<double>(0, 1), d.at<double>(0, 2), d.at<double>(1, 0),
                       d.at<double>(1, 1), d.at<double>(1, 2), 0, 0, 1);
}

cv::Matx22d jacobian_at(const cv::Matx33d& m, cv::Point2d p) {
    const double w = m(2, 0) * p.x + m(2, 1) * p.y + m(2, 2);
    const double u = m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2);
    const double v = m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2);
    const double w2 = w * w;
    return cv::Matx22d((m(0, 0) * w - u * m(2, 0)) / w2, (m(0, 1) * w - u * m(2, 1)) / w2,
                       (m(1, 0) * w - v * m(2, 0)) / w2, (m(1, 1) * w - v * m(2, 1)) / w2);
}

SimMat to_sim(const cv::Matx33d& similarity) {
    const double s = std::hypot(similarity(0, 0), similarity(1, 0));
    const double theta = std::atan2(similarity(1, 0), similarity(0, 0));
    return SimMat(theta, s, similarity(0, 2), similarity(1, 2));
}

cv::Matx33d from_sim(const SimMat& m) {
    return cv::Matx33d(m.mat.at<double>(0, 0), m.mat.at<double>(0, 1), m.mat.at<double>(0, 2),
                       m.mat.at<double>(1, 0), m.mat.at<double>(1, 1), m.mat.at<double>(1, 2), 0, 0, 1);
}

Frames frames_of(const ExactSearch& found) {
    const cv::Mat& reference = found.reference();
    const cv::Mat& fitted_camera = found.fitted_camera();
    const int out = found.out_size();
    Frames f;
    f.reference_square = cv::Rect((reference.cols - out) / 2, (reference.rows - out) / 2, out, out);
    f.fitted_square = cv::Rect((fitted_camera.cols - out) / 2, (fitted_camera.rows - out) / 2, out, out);
    const cv::Point2d fitted_offset(f.fitted_square.x - f.reference_square.x,
                                    f.fitted_square.y - f.reference_square.y);
    f.fitted_from_canvas = translation<frame::Fitted, frame::Canvas>(fitted_offset.x, fitted_offset.y);
    // The exact search compares the reference with the camera's centre crop
    // at its fine frame, rounded there.
    const cv::Point2d search_crop((found.cam_300.cols - found.img_300.cols) / 2,
                                  (found.cam_300.rows - found.img_300.rows) / 2);
    const cv::Point2d exact_offset = search_crop * (1.0 / found.scale_2) - fitted_offset;
    f.canvas_from_exact = translation<frame::Canvas, frame::Exact>(exact_offset.x, exact_offset.y);
    f.exact_from_canvas = translation<frame::Exact, frame::Canvas>(-exact_offset.x, -exact_offset.y);
    f.camera_from_fitted = camera_from_fitted_of(found.camera_size, reference.size());
    return f;
}

Map<frame::Camera, frame::Canvas> camera_from_canvas(const Frames& f) {
    return f.camera_from_fitted * f.fitted_from_canvas;
}

cv::Rect2d camera_square_of(const Frames& f) {
    const cv::Rect& q = f.fitted_square;
    return cv::Rect2d(f.camera_from_fitted(cv::Point2d(q.x, q.y)), f.camera_from_fitted(cv::Point2d(q.br())));
}

bool folds(const CameraMap& camera_from_reference, const cv::Rect2d& camera_square) {
    const cv::Rect2d& q = camera_square;
    const cv::Point2d centre = centre_of(q);
    const cv::Matx33d inverse = camera_from_reference.matrix().inv();
    const auto depth = [&inverse](cv::Point2d c) { return inverse(2, 0) * c.x + inverse(2, 1) * c.y + inverse(2, 2); };
    const double centre_depth = depth(centre);
    const Map<frame::Reference, frame::Camera> reference_from_camera(inverse);
    const CameraMap near = nearest_similarity(camera_from_reference, reference_from_camera(centre));
    const double side = std::max(q.width, q.height);
    for (const cv::Point2d c : {q.tl(), cv::Point2d(q.br().x, q.y), cv::Point2d(q.x, q.br().y), q.br()}) {
        if (!(depth(c) * centre_depth > 0)) return true;
        const cv::Point2d p = reference_from_camera(c);
        if (cv::determinant(jacobian_at(camera_from_reference.matrix(), p)) <= 0) return true;
        const cv::Point2d moved = camera_from_reference(near.inverse()(c)) - c;
        if (!(std::hypot(moved.x, moved.y) <= side)) return true;
    }
    return false;
}

}  // namespace pairfit
