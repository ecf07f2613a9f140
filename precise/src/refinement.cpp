#include "refinement.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "pairfit/precise.h"
#include "side_by_side.h"

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
// reference region it shows there and the camera region around the square.
struct Window {
    cv::Rect ref_box, cam_box;  // in the reference and the camera
    cv::Mat ref_grey, cam_grey, cam_valid;  // CV_32F, CV_32F, CV_8U
    std::vector<cv::Point2d> corners;       // the square's corners in the reference
};

std::optional<Window> make_window(const PairView& pair, const CameraMap& camera_from_reference) {
    const Map<frame::Reference, frame::Camera> reference_from_camera = camera_from_reference.inverse();
    const cv::Rect2d& q = pair.camera_square;
    Window w;
    std::vector<cv::Point2f> corners;
    for (const cv::Point2d c : {q.tl(), cv::Point2d(q.br().x, q.y), cv::Point2d(q.x, q.br().y), q.br()}) {
        const cv::Point2d p = reference_from_camera(c);
        if (!(std::abs(p.x) < 1e6 && std::abs(p.y) < 1e6)) return std::nullopt;
        w.corners.push_back(p);
        corners.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    }
    // An eighth of the square around it: detail just outside the square
    // steadies the fit at its edges. The 8 px are what the band-pass spoils
    // at the window's border.
    const int margin = pair.out_size / 8 + 8;
    const cv::Rect box = cv::boundingRect(corners);
    w.ref_box = cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
                cv::Rect(0, 0, pair.reference.cols, pair.reference.rows);
    const double side = std::max(q.width, q.height);
    // The camera window must hold the template wherever a start within the
    // refinement's reach puts it: a third of the square each way, and 16 px
    // for the band-pass's border at the larger scale of a camera.
    const int cam_margin = static_cast<int>(side / 3) + 16;
    w.cam_box = cv::Rect(static_cast<int>(std::floor(q.x)) - cam_margin, static_cast<int>(std::floor(q.y)) - cam_margin,
                         static_cast<int>(std::ceil(q.width)) + 2 * cam_margin,
                         static_cast<int>(std::ceil(q.height)) + 2 * cam_margin) &
                cv::Rect(0, 0, pair.camera.cols, pair.camera.rows);
    if (w.ref_box.width < 32 || w.ref_box.height < 32 || w.cam_box.width < 32 || w.cam_box.height < 32) {
        return std::nullopt;
    }
    side_by_side([&] { grey(pair.reference(w.ref_box)).convertTo(w.ref_grey, CV_32F); },
                 [&] { grey(pair.camera(w.cam_box)).convertTo(w.cam_grey, CV_32F); });
    w.cam_valid = cv::Mat(w.cam_grey.size(), CV_8U, cv::Scalar(255));
    return w;
}

PatchMap patch_map_of(const Window& w, const CameraMap& camera_from_reference) {
    return translation<frame::CameraPatch, frame::Camera>(-w.cam_box.x, -w.cam_box.y) * camera_from_reference *
           translation<frame::Reference, frame::ReferencePatch>(w.ref_box.x, w.ref_box.y);
}

CameraMap camera_map_of(const Window& w, const PatchMap& patch_map) {
    return translation<frame::Camera, frame::CameraPatch>(w.cam_box.x, w.cam_box.y) * patch_map *
           translation<frame::ReferencePatch, frame::Reference>(-w.ref_box.x, -w.ref_box.y);
}

// One pyramid level of a window: both images reduced and filtered alike.
struct Level {
    cv::Mat t_band;  // the reference reduced and band-passed, before its edges are cut off
    cv::Mat t, t_mask, in, valid;
    int box = 9;  // the side of the band-pass's wide blur
    double scale = 1;
    int inset = 0;  // pixels cut from each side of the template

    // A resized image keeps pixel centres: x_level = scale (x + 0.5) - 0.5.
    // Without the half pixel, a map with a scale other than 1 is off by
    // (1 - scale) (s - 1) / 2 level pixels.
    template <class Level, class Patch>
    Map<Level, Patch> level_from_patch() const {
        return translation<Level, Level>((scale - 1) / 2, (scale - 1) / 2) * scaling<Level, Patch>(scale);
    }
    LevelMap level_map_of(const PatchMap& patch_map) const {
        return level_from_patch<frame::CameraLevel, frame::CameraPatch>() * patch_map *
               level_from_patch<frame::ReferenceLevel, frame::ReferencePatch>().inverse() *
               translation<frame::ReferenceLevel, frame::Template>(inset, inset);
    }
    PatchMap patch_map_of(const LevelMap& level_map) const {
        return level_from_patch<frame::CameraLevel, frame::CameraPatch>().inverse() * level_map *
               translation<frame::Template, frame::ReferenceLevel>(-inset, -inset) *
               level_from_patch<frame::ReferenceLevel, frame::ReferencePatch>();
    }
};

// The template: the band-passed reference blurred by `sigma` (its own
// pixels) to match the camera's defocus (filters commute: blurring after the
// band-pass is blurring before it), its edges cut off.
cv::Mat template_of(const Level& l, double sigma) {
    cv::Mat t = l.t_band;
    if (sigma > 0) {
        cv::Mat blurred;  // a new image: the band-passed source is tried again with other blurs
        cv::GaussianBlur(l.t_band, blurred, cv::Size(), sigma);
        t = blurred;
    }
    return t(cv::Rect(l.inset, l.inset, t.cols - 2 * l.inset, t.rows - 2 * l.inset)).clone();
}

// Both images reduced by `scale` and band-passed alike: the camera's filter
// is the reference's enlarged by `ratio`, so that both pass the same band of
// the subject's detail. Filters of one size would keep different parts of
// broad shapes (large letters, a photograph) and pull the optimum away.
Level level_of(const cv::Mat& t, const cv::Mat& in, const cv::Mat& valid, double scale, double ratio) {
    Level l;
    l.scale = scale;
    // The reference window's size at this level, as cv::resize gives it.
    const int longer = std::max(cv::saturate_cast<int>(t.cols * scale), cv::saturate_cast<int>(t.rows * scale));
    l.box = band_pass_box(longer);
    side_by_side(
        [&] {
            cv::Mat reduced;
            cv::resize(t, reduced, cv::Size(), scale, scale, cv::INTER_AREA);
            l.t_band = band_pass(reduced, l.box);
            // The filters are not the same near the template's edges as
            // inside the larger camera window; those edges are left out.
            l.inset = std::min(l.box, std::min(l.t_band.cols, l.t_band.rows) / 4);
            l.t = template_of(l, 0);
            l.t_mask = content_mask(l.t, l.box / 4 + 1);
        },
        [&] {
            cv::resize(in, l.in, cv::Size(), scale, scale, cv::INTER_AREA);
            cv::resize(valid, l.valid, l.in.size(), 0, 0, cv::INTER_NEAREST);
            l.in = band_pass(l.in, l.box, ratio);
        });
    return l;
}

Level level_of(const cv::Mat& t, const cv::Mat& in, const cv::Mat& valid, double scale, const PatchMap& map) {
    return level_of(t, in, valid, scale, size_ratio_at(map.matrix(), cv::Point2d(t.cols / 2.0, t.rows / 2.0)));
}

// The two patches' images at one level, the camera's seen through a map.
struct Seen {
    cv::Mat warped, valid;
};

Seen seen_through(const Level& l, const PatchMap& patch_map) {
    const cv::Matx33d m = l.level_map_of(patch_map).matrix();
    return {warped(l.in, m, l.t.size(), cv::INTER_LINEAR), warped(l.valid, m, l.t.size(), cv::INTER_NEAREST)};
}

// An image less its mean over the pixels that count (zero elsewhere), and
// its norm there: the camera's half of cv::computeECC, made once for
// templates of several blurs.
struct ZeroMean {
    cv::Mat values;
    double norm = 0;
};

ZeroMean zero_mean(const cv::Mat& image, const cv::Mat& counted, int count) {
    cv::Scalar mean, deviation;
    cv::meanStdDev(image, mean, deviation, counted);
    ZeroMean z{cv::Mat::zeros(image.size(), image.type()), 0};
    cv::subtract(image, mean, z.values, counted);
    z.norm = std::sqrt(count * deviation[0] * deviation[0]);
    return z;
}

// The camera patch as seen through a map, ready to correlate with the
// level's templates; none where too little of it is valid.
struct Counted {
    cv::Mat counted;
    int count = 0;
    ZeroMean seen;
};

std::optional<Counted> counted_of(const Level& l, const Seen& s) {
    Counted c;
    c.counted = s.valid & l.t_mask;
    c.count = cv::countNonZero(c.counted);
    if (c.count < std::max(64, cv::countNonZero(l.t_mask) / 4)) return std::nullopt;
    c.seen = zero_mean(s.warped, c.counted, c.count);
    return c;
}

// The correlation of a template with the camera patch as seen through a
// map, as cv::computeECC gives it; -1 where too little of the camera patch
// is valid.
double correlation_of(const cv::Mat& template_image, const std::optional<Counted>& c) {
    if (!c) return -1;
    cv::Scalar mean, deviation;
    cv::meanStdDev(template_image, mean, deviation, c->counted);
    // The camera's half is zero where the pixels do not count: the
    // template needs no zeros there, the products are zero all the same.
    cv::Mat t;
    cv::subtract(template_image, mean, t);
    const double t_norm = std::sqrt(c->count * deviation[0] * deviation[0]);
    const double rho = c->seen.values.dot(t) / (t_norm * c->seen.norm);
    return std::isfinite(rho) ? rho : -1.0;
}

double correlation(const Level& l, const PatchMap& patch_map) {
    return correlation_of(l.t, counted_of(l, seen_through(l, patch_map)));
}

// The camera's defocus, given to the sharp reference. A sharp template
// against a blurred image is biased wherever the window cuts through the
// subject (the blur carries detail across the cut on one side only), by up
// to half a pixel; two images alike but for the warp are not. The blur is
// the one, of a few, under which the two correlate best. Returns that
// correlation under `map`.
double match_blur(Level& l, const PatchMap& map) {
    const double ratio =
        size_ratio_at(map.matrix(), cv::Point2d(l.t_band.cols / 2.0 / l.scale, l.t_band.rows / 2.0 / l.scale));
    // The template's size does not change with its blur.
    const std::optional<Counted> seen = counted_of(l, seen_through(l, map));
    double best_rho = correlation_of(l.t, seen);
    // Two blurs at a time, taken in order: the one after the best is
    // sometimes made in vain.
    for (size_t k = 0; k + 1 < std::size(kCameraBlurs); k += 2) {
        cv::Mat t[2];
        double rho[2];
        const auto try_blur = [&](int i) {
            t[i] = template_of(l, kCameraBlurs[k + i] * l.scale / ratio);  // in the template's pixels
            rho[i] = correlation_of(t[i], seen);
        };
        side_by_side([&] { try_blur(0); }, [&] { try_blur(1); });
        for (int i = 0; i < 2; ++i) {
            if (rho[i] <= best_rho) return best_rho;
            best_rho = rho[i];
            l.t = t[i];
        }
    }
    return best_rho;
}

struct Correlated {
    PatchMap map;
    double before = -1, after = -1;  // of the start and of the result, at the last scale
};

// Maximises the correlation of the camera patch warped onto the reference
// patch (both CV_32F, filtered alike) over `motion` at the given pyramid
// scales. None when the last scale does not converge.
std::optional<Correlated> correlate(const cv::Mat& t_full, const cv::Mat& in_full, const cv::Mat& valid_full,
                                    const std::vector<double>& scales, Motion motion, int iterations,
                                    const PatchMap& start) {
    Correlated result;
    result.map = start;
    for (const double scale : scales) {
        Level l = level_of(t_full, in_full, valid_full, scale, result.map);
        if (l.t.cols < 24 || l.t.rows < 24) continue;
        const bool last = scale == scales.back();
        const double blurred_rho = last ? match_blur(l, result.map) : -1;
        cv::Matx33d level_map = l.level_map_of(result.map).matrix();
        // Measured against the start, not the coarser level's result: a
        // coarser level can be led astray by what only it sees.
        if (last) result.before = result.map.matrix() == start.matrix() ? blurred_rho : correlation(l, start);
        const double rho = ecc_align(l.t, l.t_mask, l.in, l.valid, level_map, motion, iterations, 0.01);
        if (rho < 0) {
            if (last) return std::nullopt;
            continue;
        }
        result.map = l.patch_map_of(LevelMap(level_map));
        if (last) result.after = correlation(l, result.map);
    }
    return result;
}

// The whole reduced pair as one window; the camera is valid throughout.
struct WholePair {
    cv::Mat t, in, valid;
    PatchMap start;
    Map<frame::CameraPatch, frame::Camera> camera_patch_from_camera;
    Map<frame::ReferencePatch, frame::Reference> reference_patch_from_reference;
};

WholePair whole_pair(const FeatureEstimate& reduced, const CameraMap& camera_from_reference) {
    WholePair w{cv::Mat(), cv::Mat(), cv::Mat(), PatchMap(),
                scaling<frame::CameraPatch, frame::Camera>(reduced.factor),
                scaling<frame::ReferencePatch, frame::Reference>(reduced.factor)};
    reduced.img_small.convertTo(w.t, CV_32F);
    reduced.cam_small.convertTo(w.in, CV_32F);
    w.valid = cv::Mat(w.in.size(), CV_8U, cv::Scalar(255));
    w.start = w.camera_patch_from_camera * camera_from_reference * w.reference_patch_from_reference.inverse();
    return w;
}

// The whole reduced pair's correlation under a map at `scale` of the
// reduced images; -1 without them.
double whole_pair_at(const FeatureEstimate& reduced, const CameraMap& camera_from_reference, double scale) {
    if (reduced.img_small.empty()) return -1;
    const WholePair w = whole_pair(reduced, camera_from_reference);
    return correlation(level_of(w.t, w.in, w.valid, scale, w.start), w.start);
}

}  // namespace

cv::Mat content_mask(const cv::Mat& band_passed, int reach) {
    const cv::Mat strength = cv::abs(band_passed);
    double largest = 0;
    cv::minMaxLoc(strength, nullptr, &largest);
    // A twentieth of the strongest response leaves out the faint ringing of
    // the band-pass beside strokes and the grain of paper; 2 grey levels is
    // the image noise, below which nothing counts however blank the image.
    cv::Mat mask = strength > std::max(2.0, 0.05 * largest);
    cv::dilate(mask, mask, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1)));
    return mask;
}

// Light that changes slowly across the window (vignetting, uneven light)
// would otherwise pull the correlation's optimum along its slope.
cv::Mat band_pass(const cv::Mat& image, int box, double ratio) {
    cv::Mat fine, coarse;
    cv::GaussianBlur(image, fine, cv::Size(), ratio);
    // Two box filters: a cheap wide blur.
    const int side = 2 * static_cast<int>(std::lround((box * ratio - 1) / 2)) + 1;
    cv::blur(image, coarse, cv::Size(side, side));
    cv::blur(coarse, coarse, cv::Size(side, side));
    return fine - coarse;
}

double candidate_measure(const PairView& pair, const CameraMap& camera_from_reference) {
    const std::optional<Window> w = make_window(pair, camera_from_reference);
    if (!w) return -1;
    // Band-passed: hard light and shadows would otherwise decide.
    const double scale = refinement_scales(std::max(w->ref_box.width, w->ref_box.height)).front();
    const PatchMap map = patch_map_of(*w, camera_from_reference);
    return correlation(level_of(w->ref_grey, w->cam_grey, w->cam_valid, scale, map), map);
}

double whole_pair_measure(const FeatureEstimate& reduced, const CameraMap& camera_from_reference) {
    // The global stage's coarser level: enough to tell a map that lays the
    // subject over itself from one that does not.
    return whole_pair_at(reduced, camera_from_reference, 0.25);
}

double whole_pair_correlation(const FeatureEstimate& reduced, const CameraMap& camera_from_reference) {
    return whole_pair_at(reduced, camera_from_reference, 1.0);
}

std::pair<double, double> finest_correlations(const FeatureEstimate& reduced, const CameraMap& first,
                                              const CameraMap& second) {
    if (reduced.img_small.empty()) return {-1, -1};
    const WholePair w = whole_pair(reduced, first);
    const Level l = level_of(w.t, w.in, w.valid, 1.0, w.start);
    const PatchMap other = w.camera_patch_from_camera * second * w.reference_patch_from_reference.inverse();
    return {correlation(l, w.start), correlation(l, other)};
}

std::optional<GlobalFit> refine_globally(const FeatureEstimate& reduced, const CameraMap& camera_from_reference,
                                         Motion motion, bool close_start) {
    if (reduced.img_small.empty()) return std::nullopt;
    const WholePair w = whole_pair(reduced, camera_from_reference);
    const std::vector<double> scales = close_start ? std::vector<double>{0.5} : std::vector<double>{0.25, 0.5};
    const std::optional<Correlated> c = correlate(w.t, w.in, w.valid, scales, motion, close_start ? 10 : 30, w.start);
    if (!c || !(c->after > c->before)) return std::nullopt;
    return GlobalFit{w.camera_patch_from_camera.inverse() * c->map * w.reference_patch_from_reference, c->after};
}

std::optional<CameraMap> refine_near_crop(const PairView& pair, const CameraMap& camera_from_reference,
                                          Motion motion) {
    const std::optional<Window> w = make_window(pair, camera_from_reference);
    if (!w) return std::nullopt;
    const double scale = refinement_scales(std::max(w->ref_box.width, w->ref_box.height)).back();
    const std::optional<Correlated> c = correlate(w->ref_grey, w->cam_grey, w->cam_valid, {scale}, motion, 10,
                                                  patch_map_of(*w, camera_from_reference));
    if (!c || !(c->after > c->before)) return std::nullopt;
    // A window that does not show the pair as a pair under its start (too
    // little of the subject's detail rises above the camera's noise there)
    // would only fit the noise.
    if (c->before < kPairCorrelation) return std::nullopt;
    const CameraMap result = camera_map_of(*w, c->map);
    const cv::Point2d moved = result(w->corners[0]) - camera_from_reference(w->corners[0]);
    if (std::hypot(moved.x, moved.y) > 8) return std::nullopt;  // a finer match is close by
    return result;
}

}  // namespace pairfit
