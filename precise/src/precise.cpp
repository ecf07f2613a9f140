#include "pairfit/precise.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "Match.h"
#include "errors.h"
#include "ecc_similarity.h"
#include "pairfit/pipeline.h"
#include "utils.h"

namespace pairfit {
namespace {

// A similarity or affine map as a 3x3 matrix, for composing frames.
using Affine = cv::Matx33d;

Affine from_sim(const SimMat& m) {
    return Affine(m.mat.at<double>(0, 0), m.mat.at<double>(0, 1), m.mat.at<double>(0, 2),
                  m.mat.at<double>(1, 0), m.mat.at<double>(1, 1), m.mat.at<double>(1, 2), 0, 0, 1);
}

Affine from_2x3(const cv::Mat& m) {
    cv::Mat d;
    m.convertTo(d, CV_64F);
    return Affine(d.at<double>(0, 0), d.at<double>(0, 1), d.at<double>(0, 2), d.at<double>(1, 0),
                  d.at<double>(1, 1), d.at<double>(1, 2), 0, 0, 1);
}

cv::Mat to_2x3(const Affine& a, int type = CV_64F) {
    cv::Mat m = (cv::Mat_<double>(2, 3) << a(0, 0), a(0, 1), a(0, 2), a(1, 0), a(1, 1), a(1, 2));
    cv::Mat out;
    m.convertTo(out, type);
    return out;
}

Affine translation(double x, double y) { return Affine(1, 0, x, 0, 1, y, 0, 0, 1); }
Affine scaling(double f) { return Affine(f, 0, 0, 0, f, 0, 0, 0, 1); }

cv::Point2d apply(const Affine& a, cv::Point2d p) {
    return {a(0, 0) * p.x + a(0, 1) * p.y + a(0, 2), a(1, 0) * p.x + a(1, 1) * p.y + a(1, 2)};
}

// The closest similarity to an affine map near point c: the rotation and
// scale averaged from the linear part, the translation keeping c in place.
Affine nearest_similarity(const Affine& m, cv::Point2d c) {
    const double a = (m(0, 0) + m(1, 1)) / 2;
    const double b = (m(1, 0) - m(0, 1)) / 2;
    const cv::Point2d target = apply(m, c);
    return Affine(a, -b, target.x - (a * c.x - b * c.y), b, a, target.y - (b * c.x + a * c.y), 0, 0, 1);
}

SimMat to_sim(const Affine& m) {
    const double s = std::hypot(m(0, 0), m(1, 0));
    const double theta = std::atan2(m(1, 0), m(0, 0));
    return SimMat(theta, s, m(0, 2), m(1, 2));
}

// Where the output squares sit and how the frames relate. Transforms here map
// reference pixels to "canvas" pixels: the camera image shifted so that the
// reference-sized canvas cropped at rect_img shows what the camera crop at
// rect_cam shows. The exact search's frame differs from the canvas by the
// offset of its centre crop at the fine frame.
struct Frames {
    cv::Rect rect_img, rect_cam;
    cv::Point2d canvas_to_camera;  // camera = canvas + this
    cv::Point2d exact_to_canvas;   // canvas = exact frame + this
    Affine fitted_to_loaded;       // the camera as fitted and bordered -> as loaded
    cv::Rect fitted_area;          // the camera's own pixels in the fitted image
};

// A camera image smaller than the reference was resized (pixel centres kept)
// and centred on a border; this undoes that for coordinates.
Affine fitted_to_loaded_camera(cv::Size loaded, cv::Size reference) {
    if (loaded.width >= reference.width && loaded.height >= reference.height) return Affine::eye();
    const double scale = std::min(static_cast<double>(reference.width) / loaded.width,
                                  static_cast<double>(reference.height) / loaded.height);
    const int w = static_cast<int>(loaded.width * scale);
    const int h = static_cast<int>(loaded.height * scale);
    const double fx = static_cast<double>(w) / loaded.width, fy = static_cast<double>(h) / loaded.height;
    const int left = (reference.width - w) / 2, top = (reference.height - h) / 2;
    // fitted = (loaded + 0.5) * f - 0.5 + border
    const Affine loaded_to_fitted(fx, 0, 0.5 * fx - 0.5 + left, 0, fy, 0.5 * fy - 0.5 + top, 0, 0, 1);
    return loaded_to_fitted.inv();
}

Frames frames_of(const ExactSearch& found) {
    const ICPair& pair = found.pair;
    const cv::Size loaded_camera = found.camera_size;
    Frames f;
    const int out = pair.out_size;
    f.rect_img = cv::Rect((pair.img_ori.cols - out) / 2, (pair.img_ori.rows - out) / 2, out, out);
    f.rect_cam = cv::Rect((pair.cam_ori.cols - out) / 2, (pair.cam_ori.rows - out) / 2, out, out);
    f.canvas_to_camera = cv::Point2d(f.rect_cam.x - f.rect_img.x, f.rect_cam.y - f.rect_img.y);
    const cv::Point2d search_crop((found.cam_300.cols - found.img_300.cols) / 2,
                                  (found.cam_300.rows - found.img_300.rows) / 2);
    f.exact_to_canvas = search_crop * (1.0 / found.scale_2) - f.canvas_to_camera;
    f.fitted_to_loaded = fitted_to_loaded_camera(loaded_camera, pair.img_ori.size());
    const Affine to_fitted = f.fitted_to_loaded.inv();
    const cv::Point2d a = apply(to_fitted, cv::Point2d(-0.5, -0.5));
    const cv::Point2d b = apply(to_fitted, cv::Point2d(loaded_camera.width - 0.5, loaded_camera.height - 0.5));
    f.fitted_area = cv::Rect(cv::Point(static_cast<int>(std::ceil(a.x)), static_cast<int>(std::ceil(a.y))),
                             cv::Point(static_cast<int>(std::floor(b.x)), static_cast<int>(std::floor(b.y)))) &
                    cv::Rect(0, 0, pair.cam_ori.cols, pair.cam_ori.rows);
    return f;
}

// Canvas pixels to pixels of the camera image as loaded.
Affine canvas_to_loaded(const Frames& f) {
    return f.fitted_to_loaded * translation(f.canvas_to_camera.x, f.canvas_to_camera.y);
}

cv::Point2d square_centre(const Frames& f) {
    return {f.rect_img.x + f.rect_img.width / 2.0, f.rect_img.y + f.rect_img.height / 2.0};
}

Affine exact_to_canvas(const Affine& exact, const Frames& f) {
    return translation(f.exact_to_canvas.x, f.exact_to_canvas.y) * exact;
}

Affine canvas_to_exact(const Affine& canvas, const Frames& f) {
    return translation(-f.exact_to_canvas.x, -f.exact_to_canvas.y) * canvas;
}

// The search's measure for any transform: the masked difference ratio at the
// 300-pixel frame, with rotation, by the straightforward evaluation.
double ratio_at_fine_frame(const ExactSearch& found, const Affine& canvas, const Frames& f) {
    const SimMat exact = to_sim(canvas_to_exact(canvas, f));
    SimMat fine(exact.theta, exact.s, exact.t_x * found.scale_2, exact.t_y * found.scale_2);
    Match match(&fine, 0, 1, 0.0, false);
    match.img_scaled = found.img_300;
    match.cam_scaled = found.cam_300;
    return match.evaluate_candidate(0, 0, 0);
}

cv::Mat grey(const cv::Mat& bgr) {
    cv::Mat g;
    cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
    return g;
}

// A similarity from reference to camera image, both as loaded, from ORB
// features matched between the two reduced to a longer side of at most
// 1400 px; not found when too few matches agree.
struct FeatureEstimate {
    bool found = false;
    Affine to_loaded_camera;
    double factor = 1;           // of the reduced images below
    cv::Mat img_small, cam_small;  // the two images reduced and grey, CV_8U
};

// Matches ORB features of the two reduced images and fits a similarity
// (reference to camera, full resolution) with RANSAC; false when too few
// matches agree.
bool match_features(const cv::Mat& img_small, const cv::Mat& cam_small, double factor, int features,
                    int levels, FeatureEstimate& e) {
    const cv::Ptr<cv::ORB> orb = cv::ORB::create(features, 1.2f, levels);
    std::vector<cv::KeyPoint> kp_img, kp_cam;
    cv::Mat desc_img, desc_cam;
    orb->detectAndCompute(img_small, cv::noArray(), kp_img, desc_img);
    orb->detectAndCompute(cam_small, cv::noArray(), kp_cam, desc_cam);
    if (kp_img.size() < 8 || kp_cam.size() < 8) return false;
    std::vector<std::vector<cv::DMatch>> knn;
    cv::BFMatcher(cv::NORM_HAMMING).knnMatch(desc_img, desc_cam, knn, 2);
    std::vector<cv::Point2f> from, to;
    for (const std::vector<cv::DMatch>& m : knn) {
        if (m.size() < 2 || m[0].distance >= 0.8f * m[1].distance) continue;  // Lowe's ratio test
        from.push_back(kp_img[m[0].queryIdx].pt * static_cast<float>(1 / factor));
        to.push_back(kp_cam[m[0].trainIdx].pt * static_cast<float>(1 / factor));
    }
    if (from.size() < 12) return false;
    std::vector<uchar> inliers;
    const cv::Mat m = cv::estimateAffinePartial2D(from, to, inliers, cv::RANSAC, 3.0 / factor, 4000,
                                                  0.999, 20);
    if (m.empty() || cv::countNonZero(inliers) < 12) return false;
    e.to_loaded_camera = from_2x3(m);
    const double s = std::hypot(e.to_loaded_camera(0, 0), e.to_loaded_camera(1, 0));
    e.found = s > 0.5 && s < 2.0;
    return e.found;
}

FeatureEstimate estimate_from_features(const cv::Mat& img, const cv::Mat& cam) try {
    FeatureEstimate e;
    // Halved (Gaussian pyramid) until the longer side is at most 1400 px:
    // fast, free of aliasing, and pixel x of the result sits at 2^n x.
    int halvings = 0;
    while ((std::max(img.cols, img.rows) >> halvings) > 1400) ++halvings;
    const double factor = 1.0 / (1 << halvings);
    const auto reduced_grey = [halvings](const cv::Mat& bgr) {
        cv::Mat g;
        cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
        for (int k = 0; k < halvings; ++k) cv::pyrDown(g, g);
        return g;
    };
    const cv::Mat img_small = reduced_grey(img), cam_small = reduced_grey(cam);
    e.factor = factor;
    e.img_small = img_small;
    e.cam_small = cam_small;
    // Photographs of a flat subject differ in scale by a few per cent: four
    // pyramid levels of ORB's eight and 1500 features usually do; smooth
    // subjects (photographs) get a second, fuller try.
    if (!match_features(img_small, cam_small, factor, 1500, 4, e)) {
        match_features(img_small, cam_small, factor, 4000, 8, e);
    }
    return e;
} catch (const cv::Exception&) {
    return FeatureEstimate();  // no estimate; the exact search still competes
}

// The feature estimate in the canvas frame.
Affine features_to_canvas(const FeatureEstimate& e, const Frames& f, cv::Point2d centre) {
    return nearest_similarity(canvas_to_loaded(f).inv() * e.to_loaded_camera, centre);
}

// Pyramid scales for a window of `side` pixels: from about 128 px up to full
// resolution for small windows, half resolution for large ones, where ECC's
// fraction of a pixel is already a tenth of a full-resolution pixel.
std::vector<double> refinement_scales(int side) {
    const double finest = side <= 640 ? 1.0 : 0.5;
    std::vector<double> scales = {finest};
    while (scales.front() * side > 256) scales.insert(scales.begin(), scales.front() / 2);
    return scales;
}

// The grey windows around the output square that a candidate transform
// relates: the reference region it shows there and the camera region
// around the camera crop, with the camera's valid pixels (not the border of
// a fitted camera image).
struct Window {
    cv::Rect ref_box, cam_box;
    cv::Mat ref_grey, cam_grey, cam_valid;  // CV_32F, CV_32F, CV_8U
    Affine to_window;                       // canvas map -> window map
    std::vector<cv::Point2d> corners;       // the square's corners in the reference
};

bool make_window(const ExactSearch& found, const Frames& f, const Affine& canvas, Window& w) {
    const cv::Mat& img = found.pair.img_ori;
    const cv::Mat& cam = found.pair.cam_ori;
    const int out = found.pair.out_size;
    const Affine inverse = canvas.inv();
    std::vector<cv::Point2f> corners;
    for (const cv::Point2d c : {cv::Point2d(f.rect_img.x, f.rect_img.y),
                                cv::Point2d(f.rect_img.br().x, f.rect_img.y),
                                cv::Point2d(f.rect_img.x, f.rect_img.br().y),
                                cv::Point2d(f.rect_img.br())}) {
        const cv::Point2d p = apply(inverse, c);
        w.corners.push_back(p);
        corners.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    }
    const int margin = out / 8 + 8;
    const cv::Rect box = cv::boundingRect(corners);
    w.ref_box = cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin,
                         box.height + 2 * margin) & cv::Rect(0, 0, img.cols, img.rows);
    const int cam_margin = out / 3 + 16;
    w.cam_box = cv::Rect(f.rect_cam.x - cam_margin, f.rect_cam.y - cam_margin, out + 2 * cam_margin,
                         out + 2 * cam_margin) & cv::Rect(0, 0, cam.cols, cam.rows);
    if (w.ref_box.width < 32 || w.ref_box.height < 32 || w.cam_box.width < 32 || w.cam_box.height < 32) {
        return false;
    }
    grey(img(w.ref_box)).convertTo(w.ref_grey, CV_32F);
    grey(cam(w.cam_box)).convertTo(w.cam_grey, CV_32F);
    // Pixels blended with a fitted camera's grey border do not count.
    w.cam_valid = cv::Mat::zeros(w.cam_grey.size(), CV_8U);
    const cv::Rect valid = (cv::Rect(f.fitted_area.x + 2, f.fitted_area.y + 2, f.fitted_area.width - 4,
                                     f.fitted_area.height - 4) & w.cam_box) - w.cam_box.tl();
    w.cam_valid(valid).setTo(255);
    w.to_window = translation(f.canvas_to_camera.x - w.cam_box.x, f.canvas_to_camera.y - w.cam_box.y);
    return true;
}

// Smooths away pixel noise and removes the slow changes of light across the
// window (vignetting, uneven light), which would otherwise pull the
// correlation's optimum along their slope.
cv::Mat band_pass(const cv::Mat& image, int box) {
    cv::Mat fine, coarse;
    cv::GaussianBlur(image, fine, cv::Size(5, 5), 0);
    // Two box filters: a cheap wide blur, the same for both images.
    cv::blur(image, coarse, cv::Size(box, box));
    cv::blur(coarse, coarse, cv::Size(box, box));
    return fine - coarse;
}

// One pyramid level of a window: both images reduced and filtered alike.
struct Level {
    cv::Mat t, in, valid;
    int inset = 0;  // pixels cut from each side of the template
};

Level level_of(const cv::Mat& t, const cv::Mat& in, const cv::Mat& valid, double scale,
               bool remove_light = true) {
    Level l;
    cv::resize(t, l.t, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::resize(in, l.in, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::resize(valid, l.valid, l.in.size(), 0, 0, cv::INTER_NEAREST);
    if (remove_light) {
        // About a twentieth of the reference window at this level.
        const int box = 2 * std::max(4, std::max(l.t.cols, l.t.rows) / 40) + 1;
        l.t = band_pass(l.t, box);
        l.in = band_pass(l.in, box);
        // The filter is not the same near the template's edges as inside the
        // larger camera window; those edges are left out.
        l.inset = std::min(box, std::min(l.t.cols, l.t.rows) / 4);
        l.t = l.t(cv::Rect(l.inset, l.inset, l.t.cols - 2 * l.inset, l.t.rows - 2 * l.inset)).clone();
    } else {
        cv::GaussianBlur(l.t, l.t, cv::Size(5, 5), 0);
        cv::GaussianBlur(l.in, l.in, cv::Size(5, 5), 0);
    }
    return l;
}

// Window map (reference window -> camera window) at a level's scale.
Affine level_map_of(const Affine& window_map, double scale, int inset) {
    return scaling(scale) * window_map * scaling(1.0 / scale) * translation(inset, inset);
}

Affine window_map_from_level(const Affine& level_map, double scale, int inset) {
    return scaling(1.0 / scale) * level_map * translation(-inset, -inset) * scaling(scale);
}

cv::Mat level_warp(const Affine& window_map, double scale, int inset) {
    return to_2x3(level_map_of(window_map, scale, inset), CV_32F);
}

// The correlation of the two windows under a window map, at one level;
// -1 where too little of the camera window is valid.
double correlation(const Level& l, const Affine& window_map, double scale) {
    const cv::Mat w = level_warp(window_map, scale, l.inset);
    cv::Mat warped, valid;
    cv::warpAffine(l.in, warped, w, l.t.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
    cv::warpAffine(l.valid, valid, w, l.t.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP);
    if (cv::countNonZero(valid) < static_cast<int>(l.t.total() / 4)) return -1;
    return cv::computeECC(l.t, warped, valid);
}

Affine window_map_of(const Window& w, const Affine& canvas) {
    return w.to_window * canvas * translation(w.ref_box.x, w.ref_box.y);
}

Affine canvas_of(const Window& w, const Affine& window_map) {
    return w.to_window.inv() * window_map * translation(-w.ref_box.x, -w.ref_box.y);
}

// How well a candidate lays the reference over the camera near the output
// square: the correlation at the coarsest level of its window.
double candidate_measure(const ExactSearch& found, const Frames& f, const Affine& canvas) {
    Window w;
    if (!make_window(found, f, canvas, w)) return -1;
    const double scale = refinement_scales(std::max(w.ref_box.width, w.ref_box.height)).front();
    const double rho = correlation(level_of(w.ref_grey, w.cam_grey, w.cam_valid, scale, false),
                                   window_map_of(w, canvas), scale);
    return std::isfinite(rho) ? rho : -1.0;
}

// Maximises the correlation of `in` warped onto `t` (both CV_32F, filtered
// alike) over similarities, or shifts only, at the given pyramid scales;
// `map` takes t's pixels to in's. `before` and `after` are the correlations
// at the last scale. False when the last scale does not converge.
bool correlate(const cv::Mat& t_full, const cv::Mat& in_full, const cv::Mat& valid_full,
               const std::vector<double>& scales, bool shift_only, int iterations, Affine& map,
               double& before, double& after) {
    Affine current = map;
    for (const double scale : scales) {
        const Level l = level_of(t_full, in_full, valid_full, scale);
        if (l.t.cols < 24 || l.t.rows < 24) continue;
        const Affine m = level_map_of(current, scale, l.inset);
        cv::Matx23d level_map(m(0, 0), m(0, 1), m(0, 2), m(1, 0), m(1, 1), m(1, 2));
        const bool last = scale == scales.back();
        if (last) before = correlation(l, current, scale);
        const double rho = ecc_similarity(l.t, l.in, l.valid, level_map, iterations, 0.01, shift_only);
        if (rho < 0) {
            if (last) return false;
            continue;
        }
        current = window_map_from_level(from_2x3(cv::Mat(level_map)), scale, l.inset);
        if (last) after = correlation(l, current, scale);
    }
    map = current;
    return true;
}

// Stage one: scale, rotation and shift from all the content the two images
// share, on the images reduced for the feature estimate (and halved again).
// A square of blank paper cannot tell scale or rotation; the whole pair can.
bool refine_globally(const FeatureEstimate& reduced, const Frames& f, Affine& canvas, bool close_start) {
    if (reduced.img_small.empty()) return false;
    cv::Mat t, in;
    reduced.img_small.convertTo(t, CV_32F);
    reduced.cam_small.convertTo(in, CV_32F);
    const cv::Mat valid(in.size(), CV_8U, cv::Scalar(255));
    // The pyramid reduction puts full-resolution pixel x at factor * x.
    const Affine to_loaded = canvas_to_loaded(f);
    const Affine frame = scaling(reduced.factor);
    Affine map = frame * to_loaded * canvas * frame.inv();
    const std::vector<double> scales = close_start ? std::vector<double>{0.5} : std::vector<double>{0.25, 0.5};
    double before = -1, after = -1;
    if (!correlate(t, in, valid, scales, false, close_start ? 15 : 30, map, before, after) ||
        !(after > before)) {
        return false;
    }
    const Affine loaded = frame.inv() * map * frame;
    canvas = nearest_similarity(to_loaded.inv() * loaded, apply(canvas.inv(), square_centre(f)));
    return true;
}

// Stage two: the shift near the output square at the finest scale, with
// scale and rotation from stage one.
bool refine_shift_near_crop(const ExactSearch& found, const Frames& f, Affine& canvas) {
    Window w;
    if (!make_window(found, f, canvas, w)) return false;
    const double scale = refinement_scales(std::max(w.ref_box.width, w.ref_box.height)).back();
    Affine map = window_map_of(w, canvas);
    double before = -1, after = -1;
    if (!correlate(w.ref_grey, w.cam_grey, w.cam_valid, {scale}, true, 8, map, before, after) ||
        !(after > before)) {
        return false;
    }
    const Affine result = canvas_of(w, map);
    const cv::Point2d moved = apply(result, w.corners[0]) - apply(canvas, w.corners[0]);
    if (std::hypot(moved.x, moved.y) > 8) return false;  // a finer match is close by
    canvas = result;
    return true;
}

// The final warp, bilinear, of the output square only, and the camera crop
// masked where the warped reference has no content.
void warp_and_save(const ExactSearch& found, const Frames& f, const Affine& canvas,
                   const AlignRequest& request, PreciseResult& r) {
    const ICPair& pair = found.pair;
    const int out = pair.out_size;
    const cv::Mat m = to_2x3(translation(-f.rect_img.x, -f.rect_img.y) * canvas);
    cv::Mat img_aligned, img_masked;
    cv::warpAffine(pair.img_ori, img_aligned, m, cv::Size(out, out), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar::all(127));
    cv::warpAffine(pair.img_ori, img_masked, m, cv::Size(out, out), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar());
    const cv::Mat cam_cropped = pair.cam_ori(f.rect_cam);
    cv::Mat cam_aligned = cam_cropped;
    if (pair.is_masked) Get_Mask_ROI(img_masked, cam_cropped, cam_aligned, 0, 127);
    write_crops(img_aligned, cam_aligned, request);
    r.reference_crop = img_aligned;
    r.camera_crop = cam_aligned;
}

// What the written crops embody, in the camera image as loaded.
void describe_crops(const Frames& f, const Affine& canvas, PreciseResult& r) {
    const Affine map = canvas_to_loaded(f) * canvas;
    r.crop_map = cv::Matx23d(map(0, 0), map(0, 1), map(0, 2), map(1, 0), map(1, 1), map(1, 2));
    r.matrix = map;
    const cv::Point2d a = apply(f.fitted_to_loaded, cv::Point2d(f.rect_cam.x, f.rect_cam.y));
    const cv::Point2d b = apply(f.fitted_to_loaded, cv::Point2d(f.rect_cam.br()));
    r.camera_square = cv::Rect2d(a, b);
}

// The better of the two candidates, refined when that helps; `method` says
// which won and `ratio` is the fine-frame ratio of the result.
Affine precise_transform(const ExactSearch& found, const Frames& f, const FeatureEstimate& estimate,
                         std::string& method, double& ratio) {
    Affine best = exact_to_canvas(from_sim(found.transform), f);
    method = "exact";
    if (estimate.found) {
        const Affine features = features_to_canvas(estimate, f, apply(best.inv(), square_centre(f)));
        if (candidate_measure(found, f, features) > candidate_measure(found, f, best)) {
            best = features;
            method = "features";
        }
    }
    ratio = ratio_at_fine_frame(found, best, f);
    Affine refined = best;
    const bool global = refine_globally(estimate, f, refined, method == "features");
    const bool local = refine_shift_near_crop(found, f, refined);
    if (global || local) {
        const double refined_ratio = ratio_at_fine_frame(found, refined, f);
        // The coarse measure can only confirm that the refinement did not
        // leave the match; it cannot see a fraction of a pixel.
        if (refined_ratio <= ratio + 0.02) {
            best = refined;
            ratio = refined_ratio;
            method += "+ecc";
        }
    }
    return best;
}

}  // namespace

PreciseResult align_precise(const AlignRequest& request, const PreciseOptions& options) {
    const bool refine = options.refine;
    try {
        PreciseResult r;
        r.method = "exact";
        // The feature estimate needs only the loaded images: it runs beside
        // the exact search.
        std::future<FeatureEstimate> features_job;
        const LoadedHook start_features = [&](const cv::Mat& img, const cv::Mat& cam) {
            if (refine) features_job = std::async(std::launch::async, estimate_from_features, img, cam);
        };
        ExactSearch found = run_exact_search(request, start_features);
        if (found.stage != ExactSearch::Stage::searched) {
            r.transform = unaligned_result(found.stage);
            r.outcome = outcome_of(r.transform);
            return r;
        }
        const Frames f = frames_of(found);
        Affine best;
        if (!refine) {
            // The exact entry, to the bit: its crops pair the canvas with its own transform.
            r.transform = finish_exact(found, request);
            r.reference_crop = found.pair.img_aligned;
            r.camera_crop = found.pair.cam_aligned;
            best = from_sim(found.transform);
        } else {
            double ratio = 1.0;
            best = precise_transform(found, f, features_job.get(), r.method, ratio);
            warp_and_save(found, f, best, request, r);
            r.transform = to_sim(canvas_to_exact(best, f));
            r.transform.score = 1 - ratio;
        }
        // A score of 0 is reported like a pair that cannot be binarised, as
        // the exact entry reports it; the files are written all the same.
        r.outcome = outcome_of(r.transform);
        if (request.write_files) {
            std::tie(r.img_file, r.cam_file) =
                aligned_file_paths(request.output_dir, request.reference.path, request.camera.path);
        }
        describe_crops(f, best, r);
        return r;
    } catch (const cv::Exception& e) {
        throw LibraryError(std::string("image library error: ") + e.what());
    }
}

}  // namespace pairfit
