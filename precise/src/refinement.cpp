#include "refinement.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "ecc_similarity.h"

namespace pairfit {

namespace frame {
/// A region of the reference and of the camera that the refinement
/// correlates: windows around the output square, or whole reduced images.
struct ReferencePatch {};
struct CameraPatch {};
/// A patch at one pyramid level, and the reference level's inner part that
/// serves as the template.
struct ReferenceLevel {};
struct CameraLevel {};
struct Template {};
}  // namespace frame

namespace {

using PatchMap = Map<frame::CameraPatch, frame::ReferencePatch>;
using LevelMap = Map<frame::CameraLevel, frame::Template>;

cv::Mat grey(const cv::Mat& bgr) {
    cv::Mat g;
    cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
    return g;
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

// The grey windows around the output square that a candidate relates: the
// reference region it shows there and the camera region around the camera
// crop, with the camera's valid pixels (not the border of a fitted camera).
struct Window {
    cv::Rect ref_box, cam_box;  // in the reference and the fitted camera
    cv::Mat ref_grey, cam_grey, cam_valid;  // CV_32F, CV_32F, CV_8U
    Map<frame::CameraPatch, frame::Canvas> patch_from_canvas;
    Map<frame::Reference, frame::ReferencePatch> reference_from_patch;
    Map<frame::ReferencePatch, frame::Reference> patch_from_reference;
    std::vector<cv::Point2d> corners;  // the square's corners in the reference
};

std::optional<Window> make_window(const ExactSearch& found, const Frames& f, const CanvasMap& canvas_from_reference) {
    const cv::Mat& img = found.pair.img_ori;
    const cv::Mat& cam = found.pair.cam_ori;
    const int out = found.pair.out_size;
    const Map<frame::Reference, frame::Canvas> reference_from_canvas = canvas_from_reference.inverse();
    Window w;
    std::vector<cv::Point2f> corners;
    for (const cv::Point2d c : square_corners(f)) {
        const cv::Point2d p = reference_from_canvas(c);
        w.corners.push_back(p);
        corners.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    }
    const int margin = out / 8 + 8;
    const cv::Rect box = cv::boundingRect(corners);
    w.ref_box = cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin,
                         box.height + 2 * margin) & cv::Rect(0, 0, img.cols, img.rows);
    const int cam_margin = out / 3 + 16;
    const cv::Rect& square = f.fitted_square;
    w.cam_box = cv::Rect(square.x - cam_margin, square.y - cam_margin, out + 2 * cam_margin,
                         out + 2 * cam_margin) & cv::Rect(0, 0, cam.cols, cam.rows);
    if (w.ref_box.width < 32 || w.ref_box.height < 32 || w.cam_box.width < 32 || w.cam_box.height < 32) {
        return std::nullopt;
    }
    grey(img(w.ref_box)).convertTo(w.ref_grey, CV_32F);
    grey(cam(w.cam_box)).convertTo(w.cam_grey, CV_32F);
    // Pixels blended with a fitted camera's grey border do not count.
    w.cam_valid = cv::Mat::zeros(w.cam_grey.size(), CV_8U);
    const cv::Rect valid = (cv::Rect(f.fitted_area.x + 2, f.fitted_area.y + 2, f.fitted_area.width - 4,
                                     f.fitted_area.height - 4) & w.cam_box) - w.cam_box.tl();
    w.cam_valid(valid).setTo(255);
    w.patch_from_canvas =
        translation<frame::CameraPatch, frame::Fitted>(-w.cam_box.x, -w.cam_box.y) * f.fitted_from_canvas;
    w.reference_from_patch = translation<frame::Reference, frame::ReferencePatch>(w.ref_box.x, w.ref_box.y);
    w.patch_from_reference = translation<frame::ReferencePatch, frame::Reference>(-w.ref_box.x, -w.ref_box.y);
    return w;
}

PatchMap patch_map_of(const Window& w, const CanvasMap& canvas_from_reference) {
    return w.patch_from_canvas * canvas_from_reference * w.reference_from_patch;
}

CanvasMap canvas_map_of(const Window& w, const PatchMap& patch_map) {
    return w.patch_from_canvas.inverse() * patch_map * w.patch_from_reference;
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
    double scale = 1;
    int inset = 0;  // pixels cut from each side of the template

    LevelMap level_map_of(const PatchMap& patch_map) const {
        return scaling<frame::CameraLevel, frame::CameraPatch>(scale) * patch_map *
               scaling<frame::ReferencePatch, frame::ReferenceLevel>(1.0 / scale) *
               translation<frame::ReferenceLevel, frame::Template>(inset, inset);
    }
    PatchMap patch_map_of(const LevelMap& level_map) const {
        return scaling<frame::CameraPatch, frame::CameraLevel>(1.0 / scale) * level_map *
               translation<frame::Template, frame::ReferenceLevel>(-inset, -inset) *
               scaling<frame::ReferenceLevel, frame::ReferencePatch>(scale);
    }
};

Level level_of(const cv::Mat& t, const cv::Mat& in, const cv::Mat& valid, double scale,
               bool remove_light = true) {
    Level l;
    l.scale = scale;
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

// The correlation of the two patches under a patch map, at one level; -1
// where too little of the camera patch is valid.
double correlation(const Level& l, const PatchMap& patch_map) {
    cv::Mat w;
    cv::Mat(top_rows(l.level_map_of(patch_map).matrix())).convertTo(w, CV_32F);
    cv::Mat warped, valid;
    cv::warpAffine(l.in, warped, w, l.t.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
    cv::warpAffine(l.valid, valid, w, l.t.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP);
    if (cv::countNonZero(valid) < static_cast<int>(l.t.total() / 4)) return -1;
    return cv::computeECC(l.t, warped, valid);
}

struct Correlated {
    PatchMap map;
    double before = -1, after = -1;  // the correlations at the last scale
};

// Maximises the correlation of the camera patch warped onto the reference
// patch (both CV_32F, filtered alike) over similarities, or shifts only, at
// the given pyramid scales. None when the last scale does not converge.
std::optional<Correlated> correlate(const cv::Mat& t_full, const cv::Mat& in_full, const cv::Mat& valid_full,
                                    const std::vector<double>& scales, bool shift_only, int iterations,
                                    const PatchMap& start) {
    Correlated result;
    result.map = start;
    for (const double scale : scales) {
        const Level l = level_of(t_full, in_full, valid_full, scale);
        if (l.t.cols < 24 || l.t.rows < 24) continue;
        cv::Matx23d level_map = top_rows(l.level_map_of(result.map).matrix());
        const bool last = scale == scales.back();
        if (last) result.before = correlation(l, result.map);
        const double rho = ecc_similarity(l.t, l.in, l.valid, level_map, iterations, 0.01, shift_only);
        if (rho < 0) {
            if (last) return std::nullopt;
            continue;
        }
        result.map = l.patch_map_of(LevelMap(with_last_row(cv::Mat(level_map))));
        if (last) result.after = correlation(l, result.map);
    }
    return result;
}

}  // namespace

double candidate_measure(const ExactSearch& found, const Frames& f, const CanvasMap& canvas_from_reference) {
    const std::optional<Window> w = make_window(found, f, canvas_from_reference);
    if (!w) return -1;
    const double scale = refinement_scales(std::max(w->ref_box.width, w->ref_box.height)).front();
    const double rho = correlation(level_of(w->ref_grey, w->cam_grey, w->cam_valid, scale, false),
                                   patch_map_of(*w, canvas_from_reference));
    return std::isfinite(rho) ? rho : -1.0;
}

std::optional<CanvasMap> refine_globally(const FeatureEstimate& reduced, const Frames& f,
                                         const CanvasMap& canvas_from_reference, bool close_start) {
    if (reduced.img_small.empty()) return std::nullopt;
    cv::Mat t, in;
    reduced.img_small.convertTo(t, CV_32F);
    reduced.cam_small.convertTo(in, CV_32F);
    const cv::Mat valid(in.size(), CV_8U, cv::Scalar(255));
    // Here the patches are the whole reduced images.
    const auto camera_patch_from_camera = scaling<frame::CameraPatch, frame::Camera>(reduced.factor);
    const auto reference_patch_from_reference = scaling<frame::ReferencePatch, frame::Reference>(reduced.factor);
    const Map<frame::Camera, frame::Canvas> to_loaded = camera_from_canvas(f);
    const PatchMap start = camera_patch_from_camera * to_loaded * canvas_from_reference *
                           reference_patch_from_reference.inverse();
    const std::vector<double> scales = close_start ? std::vector<double>{0.5} : std::vector<double>{0.25, 0.5};
    const std::optional<Correlated> c = correlate(t, in, valid, scales, false, close_start ? 15 : 30, start);
    if (!c || !(c->after > c->before)) return std::nullopt;
    const Map<frame::Camera, frame::Reference> camera_from_reference =
        camera_patch_from_camera.inverse() * c->map * reference_patch_from_reference;
    return nearest_similarity(to_loaded.inverse() * camera_from_reference,
                              canvas_from_reference.inverse()(square_centre(f)));
}

std::optional<CanvasMap> refine_shift_near_crop(const ExactSearch& found, const Frames& f,
                                                const CanvasMap& canvas_from_reference) {
    const std::optional<Window> w = make_window(found, f, canvas_from_reference);
    if (!w) return std::nullopt;
    const double scale = refinement_scales(std::max(w->ref_box.width, w->ref_box.height)).back();
    const std::optional<Correlated> c = correlate(w->ref_grey, w->cam_grey, w->cam_valid, {scale}, true, 8,
                                                  patch_map_of(*w, canvas_from_reference));
    if (!c || !(c->after > c->before)) return std::nullopt;
    const CanvasMap result = canvas_map_of(*w, c->map);
    const cv::Point2d moved = result(w->corners[0]) - canvas_from_reference(w->corners[0]);
    if (std::hypot(moved.x, moved.y) > 8) return std::nullopt;  // a finer match is close by
    return result;
}

}  // namespace pairfit
