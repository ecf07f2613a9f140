#include "pairfit/precise.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "correlation_search.h"
#include "deformable.h"
#include "errors.h"
#include "feature_estimate.h"
#include "frames.h"
#include "pairfit/core.h"
#include "misalignment.h"
#include "plausibility.h"
#include "pairfit/pipeline.h"
#include "refinement.h"
#include "utils.h"
#include "pairfit/worker_pool.h"

namespace pairfit {
namespace {

// One estimate of the pair's map and how well it lays the reference over the
// camera near the output square.
struct Candidate {
    enum class Source { exact, features, correlation };
    Source source = Source::exact;
    CameraMap camera_from_reference;
    double measure = -1;
    bool projective = false;  ///< the features' homography
};

// What the entry settles on: the winning candidate, perhaps refined, the
// motion fitted, and the fine-frame ratio of the map it gives.
struct Choice {
    Candidate::Source source = Candidate::Source::exact;
    bool refined = false;
    Motion motion = Motion::similarity;
    /// With the homography model: why the similarity was fitted instead.
    enum class Homography { fitted, not_needed, folded };
    Homography homography = Homography::fitted;
    CameraMap camera_from_reference;
    double ratio = 1.0;
    /// With the deformable model: whether its field was used, and why not.
    DeformableUse deformable = DeformableUse::not_asked;
    DisplacementField field;  ///< added to camera_from_reference where used
};

std::string method_text(const Choice& c) {
    std::string text = c.source == Candidate::Source::features      ? "features"
                       : c.source == Candidate::Source::correlation ? "correlation"
                                                                    : "exact";
    if (c.refined) text += "+ecc";
    if (c.deformable != DeformableUse::not_asked) {
        return text + deformable_method(c.deformable, c.motion == Motion::homography);
    }
    if (c.motion == Motion::homography) text += ":homography";
    if (c.homography == Choice::Homography::not_needed) text += ":similarity (homography not needed)";
    if (c.homography == Choice::Homography::folded) text += ":similarity (homography rejected)";
    return text;
}

// What the features make of a pair and, where they match nothing, the
// correlation search.
struct Estimates {
    FeatureEstimate features;
    std::vector<CameraMap> searched;
};

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
    const cv::Mat band = band_pass(f, 2 * std::max(4, std::max(f.cols, f.rows) / 40) + 1);
    return cv::countNonZero(cv::abs(band) > 2) >= kCameraDetail * f.total();
}

// Without a feature estimate the exact search would be the only start, and
// it has no rotation: on a repeated pattern it may settle on a neighbouring
// cell, which the refinement would then polish. A pair the exact search has
// given up on (a camera that cannot be binarised) is not searched further.
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

// Everything the choice needs about one pair.
struct Scene {
    const ExactSearch& found;
    const Frames& f;
    PairView view;
    const FeatureEstimate& estimate;
    const AlignRequest& request;
    const std::vector<CameraMap>& searched;

    // The reference point that a map shows at the output square's centre.
    cv::Point2d centre_of(const CameraMap& camera_from_reference) const {
        const cv::Rect2d& q = view.camera_square;
        return camera_from_reference.inverse()(cv::Point2d(q.x + q.width / 2, q.y + q.height / 2));
    }
    CanvasMap canvas_map_of(const CameraMap& camera_from_reference) const {
        return camera_from_canvas(f).inverse() * camera_from_reference;
    }
    void checkpoint() const { stage_checkpoint(); }
};

// The five numbers of a map: the similarity that matches it best around the
// output square's centre, in the exact search's frame.
SimMat exact_numbers(const Scene& s, const CameraMap& camera_from_reference) {
    const CanvasMap near_centre = nearest_similarity(s.canvas_map_of(camera_from_reference),
                                                     s.centre_of(camera_from_reference));
    return to_sim((s.f.exact_from_canvas * near_centre).matrix());
}

// The search's measure for any map: the masked difference ratio at the
// 300-pixel frame, with rotation, by the straightforward evaluation.
double ratio_at_fine_frame(const Scene& s, const CameraMap& camera_from_reference) {
    const SimMat exact = exact_numbers(s, camera_from_reference);
    const SimMat fine(exact.theta, exact.s, exact.t_x * s.found.scale_2, exact.t_y * s.found.scale_2);
    return masked_ratio(s.found.img_300, s.found.cam_300, fine);
}

CameraMap exact_map(const Scene& s) {
    return camera_from_canvas(s.f) * s.f.canvas_from_exact *
           Map<frame::Exact, frame::Reference>(from_sim(s.found.transform));
}

// The candidates a motion may start from: the exact search's (as the
// similarity nearest it in the camera's own frame) and the feature estimates
// that fit the motion.
std::vector<Candidate> candidates_for(const Scene& s, Motion motion) {
    std::vector<Candidate> candidates;
    const CameraMap exact = exact_map(s);
    candidates.push_back({Candidate::Source::exact, nearest_similarity(exact, s.centre_of(exact)), -1});
    const FeatureEstimate& e = s.estimate;
    if (motion == Motion::homography && e.homography && !folds(*e.homography, s.view.camera_square)) {
        candidates.push_back({Candidate::Source::features, *e.homography, -1, true});
    }
    if (e.similarity) {
        candidates.push_back({Candidate::Source::features, nearest_similarity(*e.similarity, s.centre_of(exact)), -1});
    }
    for (const CameraMap& m : s.searched) candidates.push_back({Candidate::Source::correlation, m, -1});
    return candidates;
}

// Each candidate's measure by `measure`, side by side; none for a single
// candidate, which has no rival.
template <class Measure>
void measure_each(std::vector<Candidate>& candidates, const Measure& measure) {
    const int n = static_cast<int>(candidates.size());
    if (n < 2) return;
    for_each_band(n, std::min(n, worker_count()), [&](int first, int end) {
        for (int i = first; i < end; ++i) candidates[i].measure = measure(candidates[i].camera_from_reference);
    });
}

std::vector<Candidate> measured(const Scene& s, std::vector<Candidate> candidates) {
    measure_each(candidates, [&s](const CameraMap& m) { return candidate_measure(s.view, m); });
    return candidates;
}

// The best of candidates measured near the output square.
Candidate best_of(const Scene& s, std::vector<Candidate> candidates) {
    if (candidates.size() == 1) return candidates.front();
    // The correlation search's starts are cells of a repeated pattern that the
    // square shows alike; the whole pair shows where the pattern ends and
    // what sets its cells apart.
    const bool repeated = !s.searched.empty();
    // Where the square shows blank paper under a candidate, the window cannot
    // tell it from a wrong one, which may show content there: all are then
    // compared over the whole pair.
    const bool unseen = std::any_of(candidates.begin(), candidates.end(),
                                    [](const Candidate& c) { return c.measure < 0; });
    if ((repeated || unseen) && !s.estimate.img_small.empty()) {
        measure_each(candidates, [&s](const CameraMap& m) { return whole_pair_measure(s.estimate, m); });
    }
    Candidate best = candidates.front();
    for (const Candidate& c : candidates) {
        if (best.measure < c.measure) best = c;
    }
    return best;
}

// The better candidate for a motion and what the global stage made of it.
struct GlobalStage {
    Motion motion = Motion::similarity;
    Candidate start;
    std::optional<GlobalFit> fit;
};

GlobalStage global_stage(const Scene& s, Motion motion, const std::vector<Candidate>& measured_candidates) {
    GlobalStage g;
    g.motion = motion;
    g.start = best_of(s, measured_candidates);
    // The features' similarity is close for a similarity only: on a tilted
    // camera it is tens of pixels from the homography at the corners.
    const bool fits_motion = motion == Motion::similarity || !g.start.camera_from_reference.affine();
    const bool close_start = g.start.source == Candidate::Source::features && fits_motion;
    if (g.start.source != Candidate::Source::correlation) {
        g.fit = refine_globally(s.estimate, g.start.camera_from_reference, motion, close_start);
        return g;
    }
    g.fit = search_start_fit(s.estimate, g.start.camera_from_reference, motion);
    if (!g.fit) {
        std::vector<Candidate> others;
        std::copy_if(measured_candidates.begin(), measured_candidates.end(), std::back_inserter(others),
                     [](const Candidate& c) { return c.source != Candidate::Source::correlation; });
        return global_stage(s, motion, others);
    }
    return g;
}

GlobalStage similarity_stage(const Scene& s) {
    return global_stage(s, Motion::similarity, measured(s, candidates_for(s, Motion::similarity)));
}

GlobalStage checked(const Scene& s, GlobalStage g) {
    s.checkpoint();
    return g;
}

// The near-crop stage after the global one; the refinement is kept when the
// search's own measure agrees that it did not leave the match.
Choice finished(const Scene& s, const GlobalStage& g) {
    Choice choice;
    choice.source = g.start.source;
    choice.motion = g.motion;
    choice.camera_from_reference = g.start.camera_from_reference;
    choice.ratio = ratio_at_fine_frame(s, g.start.camera_from_reference);
    const CameraMap after_global = g.fit ? g.fit->map : g.start.camera_from_reference;
    const std::optional<CameraMap> local = refine_near_crop(s.view, after_global, Motion::shift);
    s.checkpoint();
    if (g.fit || local) {
        const CameraMap refined = local ? *local : after_global;
        const double refined_ratio = ratio_at_fine_frame(s, refined);
        // The coarse measure can only confirm that the refinement did not
        // leave the match; it cannot see a fraction of a pixel.
        if (refined_ratio <= choice.ratio + 0.02) {
            choice.camera_from_reference = refined;
            choice.ratio = refined_ratio;
            choice.refined = true;
        }
    }
    return choice;
}

// How far apart the feature estimates' homography and similarity put the
// reference's corners, over the camera image's longer side; none without a
// homography.
std::optional<double> feature_tilt(const Scene& s) {
    const FeatureEstimate& e = s.estimate;
    if (!e.homography || !e.similarity) return std::nullopt;
    const cv::Size r = s.view.reference.size();
    double largest = 0;
    for (const cv::Point2d c : {cv::Point2d(0, 0), cv::Point2d(r.width, 0), cv::Point2d(0, r.height),
                                cv::Point2d(r.width, r.height)}) {
        const cv::Point2d d = (*e.homography)(c) - (*e.similarity)(c);
        largest = std::max(largest, std::hypot(d.x, d.y));
    }
    return largest / std::max(s.view.camera.cols, s.view.camera.rows);
}

// A homography earns its four extra parameters only when it removes a good
// part (a quarter) of what the similarity leaves uncorrelated over the whole
// pair: on a pair that is a similarity it gains a fraction of a per cent and
// spends the rest on noise, shadows and the desk; on a tilted camera it
// removes nearly all.
bool earns_its_parameters(double similarity, double homography) {
    return homography - similarity >= 0.25 * (1 - similarity);
}

// Where the global stage's own level does not show the gain, it is looked
// for again at the reduced images' own resolution: there a similarity's
// misfit costs what it hides at half resolution, where the thin lines of a
// sparse label blur into each other and a real tilt would pass for noise.
bool homography_needed(const Scene& s, const GlobalStage& projective, const GlobalStage& similar) {
    if (!projective.fit) return false;
    if (!similar.fit) return true;
    if (earns_its_parameters(similar.fit->correlation, projective.fit->correlation)) return true;
    const auto [similarity, homography] = finest_correlations(s.estimate, similar.fit->map, projective.fit->map);
    return earns_its_parameters(similarity, homography);
}

Choice similarity_instead(const Scene& s, const std::optional<GlobalStage>& similar, Choice::Homography why) {
    Choice choice = finished(s, similar ? *similar : checked(s, similarity_stage(s)));
    choice.homography = why;
    return choice;
}

Choice precise_choice(const Scene& s, Model model) {
    if (model == Model::similarity) return finished(s, checked(s, similarity_stage(s)));
    // Feature estimates whose homography and similarity put the corners
    // within 0.3% of the image of each other are a similarity: a global
    // stage saved. A larger difference may be a tilt or the noise of few
    // matches (a homography extrapolates them to the corners): both models
    // are fitted and compared.
    const std::optional<double> tilt = feature_tilt(s);
    if (tilt && *tilt < 0.003) return similarity_instead(s, std::nullopt, Choice::Homography::not_needed);
    // The similarity's candidates are the homography's but the features'
    // homography: each is measured once. The two models' global stages are
    // independent: one runs beside the other.
    const std::vector<Candidate> projective_candidates = measured(s, candidates_for(s, Motion::homography));
    std::vector<Candidate> similar_candidates;
    std::copy_if(projective_candidates.begin(), projective_candidates.end(), std::back_inserter(similar_candidates),
                 [](const Candidate& c) { return !c.projective; });
    Job<GlobalStage> similar_job =
        start_job([&s, &similar_candidates] { return global_stage(s, Motion::similarity, similar_candidates); });
    const GlobalStage projective = global_stage(s, Motion::homography, projective_candidates);
    const GlobalStage similar = similar_job.get();
    s.checkpoint();
    if (!homography_needed(s, projective, similar)) return similarity_instead(s, similar, Choice::Homography::not_needed);
    const Choice choice = finished(s, projective);
    if (folds(choice.camera_from_reference, s.view.camera_square)) {
        return similarity_instead(s, similar, Choice::Homography::folded);
    }
    return choice;
}

Choice deformable_choice(const Scene& s) {
    Choice choice = precise_choice(s, Model::homography);
    s.checkpoint();
    const FieldChoice field = field_choice(s.estimate, choice.camera_from_reference, s.view.reference.size(),
                                           s.view.camera_square);
    choice.deformable = field.use;
    choice.field = field.field;
    return choice;
}

cv::Mat warped_square(const cv::Mat& img, const Map<frame::Square, frame::Reference>& square_from_reference, int out,
                      const cv::Scalar& fill) {
    cv::Mat result;
    const cv::Matx33d& m = square_from_reference.matrix();
    if (square_from_reference.affine()) {
        cv::warpAffine(img, result, cv::Mat(top_rows(m)), cv::Size(out, out), cv::INTER_LINEAR, cv::BORDER_CONSTANT, fill);
    } else {
        cv::warpPerspective(img, result, cv::Mat(m), cv::Size(out, out), cv::INTER_LINEAR, cv::BORDER_CONSTANT, fill);
    }
    return result;
}

// The share of a square, below which it shows the reference too little to
// tell a pair from an unrelated one: blank paper, a smooth sky.
constexpr double kSquareDetail = 0.01;

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
    const int box = band_pass_box(std::max(t.cols, t.rows));
    cv::Mat mask;
    cv::erode(reference_content, mask, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * box + 1, 2 * box + 1)));
    if (cv::countNonZero(mask) < 16) return 0;
    const cv::Mat t_band = band_pass(t, box);
    if (share_of_detail(t_band, mask) < kSquareDetail) return std::nullopt;
    const double rho = cv::computeECC(t_band, band_pass(in, box), mask);
    return std::isfinite(rho) ? rho : 0;
}

// The square's correlation, or the whole pair's where the square shows too
// little: a true pair whose square is blank paper must not read as unrelated.
// 0 where neither can tell.
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

// Where the output square shows the reference: the pixels whose source lies
// within the reference's pixel centres (computed, not warped: a warp would
// need a reference-sized image of ones).
cv::Mat content_of(const cv::Mat& img, const Map<frame::Square, frame::Reference>& square_from_reference, int out) {
    const cv::Matx33d m = square_from_reference.inverse().matrix();
    const double right = img.cols - 1, bottom = img.rows - 1;
    cv::Mat inside(out, out, CV_8U);
    for (int y = 0; y < out; ++y) {
        std::uint8_t* row = inside.ptr<std::uint8_t>(y);
        for (int x = 0; x < out; ++x) {
            const double w = m(2, 0) * x + m(2, 1) * y + m(2, 2);
            const double u = (m(0, 0) * x + m(0, 1) * y + m(0, 2)) / w, v = (m(1, 0) * x + m(1, 1) * y + m(1, 2)) / w;
            row[x] = w > 0 && u >= 0 && v >= 0 && u <= right && v <= bottom ? 255 : 0;
        }
    }
    return inside;
}

// The reference's warp onto the output square: through a homography, or
// through the reference pixels that a field's whole map shows at each pixel.
class SquareWarp {
public:
    explicit SquareWarp(const Map<frame::Square, frame::Reference>& m) : map_(m) {}
    explicit SquareWarp(cv::Mat sources) : sources_(std::move(sources)) {}

    cv::Mat of(const cv::Mat& img, int out, const cv::Scalar& fill) const {
        if (sources_.empty()) return warped_square(img, map_, out, fill);
        cv::Mat result;
        cv::remap(img, result, sources_, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, fill);
        return result;
    }

    // Where the square shows the reference.
    cv::Mat content(const cv::Mat& img, int out) const {
        if (sources_.empty()) return content_of(img, map_, out);
        cv::Mat inside;
        cv::inRange(sources_, cv::Scalar(0, 0), cv::Scalar(img.cols - 1, img.rows - 1), inside);
        return inside;
    }

private:
    Map<frame::Square, frame::Reference> map_;
    cv::Mat sources_;
};

cv::Rect2d camera_square_of(const Frames& f) {
    const cv::Rect& q = f.fitted_square;
    return cv::Rect2d(f.camera_from_fitted(cv::Point2d(q.x, q.y)), f.camera_from_fitted(cv::Point2d(q.br())));
}

// The crops' own estimate of how far apart they are, in camera pixels (the
// crops of a camera smaller than the reference are enlarged).
double misalignment_of(const cv::Mat& reference_crop, const cv::Mat& camera_crop, const cv::Mat& reference_content,
                       const Frames& f) {
    const double camera_per_square = camera_square_of(f).width / reference_crop.cols;
    return misalignment_px(local_shifts(reference_crop, camera_crop, reference_content), reference_crop.cols,
                           camera_per_square);
}

// The final warp, bilinear, of the output square only, and the camera crop
// masked where the warped reference has no content.
void warp_and_save(const Scene& s, const CameraMap& camera_from_reference, const DisplacementField& field,
                   PreciseResult& r) {
    const ICPair& pair = s.found.pair;
    const int out = pair.out_size;
    const Map<frame::Square, frame::Reference> square_from_reference =
        translation<frame::Square, frame::Canvas>(-s.f.reference_square.x, -s.f.reference_square.y) *
        s.canvas_map_of(camera_from_reference);
    const SquareWarp warp = field.empty() ? SquareWarp(square_from_reference)
                                          : SquareWarp(square_sources(
                                              camera_from_reference, field,
                                              camera_from_canvas(s.f) * translation<frame::Canvas, frame::Square>(
                                                                            s.f.reference_square.x, s.f.reference_square.y),
                                              out));
    const cv::Mat img_aligned = warp.of(pair.img_ori, out, cv::Scalar::all(kNoData));
    const cv::Mat img_masked = warp.of(pair.img_ori, out, cv::Scalar());
    const cv::Mat cam_cropped = pair.cam_ori(s.f.fitted_square);
    // The correlation and the misalignment are made beside the mask and the files.
    Job<std::pair<double, double>> measures = start_job([&] {
        const cv::Mat content = warp.content(pair.img_ori, out);
        const double correlation = crop_correlation(img_aligned, cam_cropped, content, [&] {
            return whole_pair_correlation(
                s.estimate.img_small.empty() ? reduced_pair(pair.img_ori, s.view.camera) : s.estimate,
                camera_from_reference);
        });
        return std::make_pair(correlation, misalignment_of(img_aligned, cam_cropped, content, s.f));
    });
    cv::Mat cam_aligned = cam_cropped;
    if (pair.is_masked) Get_Mask_ROI(img_masked, cam_cropped, cam_aligned, 0, kNoData);
    write_crops(img_aligned, cam_aligned, s.request);
    std::tie(r.correlation, r.misalignment_px) = measures.get();
    r.reference_crop = img_aligned;
    r.camera_crop = cam_aligned;
}

// What the written crops embody and the reference's map onto the camera
// image as loaded.
void describe(const Frames& f, const CanvasMap& crops_from_reference, const CameraMap& camera_from_reference,
              PreciseResult& r) {
    r.crop_map = top_rows((camera_from_canvas(f) * crops_from_reference).matrix());
    r.matrix = camera_from_reference.matrix();
    r.camera_square = camera_square_of(f);
}

// The choice as the whole pair judges it: a rival it prefers (the print's
// twin shape, another cell of its pattern) is finished as the choice was.
Choice judged(const Scene& s, Choice choice, Model model, Job<std::vector<SelfSimilarity>>& likenesses,
             Verdict& verdict) {
    // A rival is fitted with the motion asked for: a similarity fitted to
    // the wrong shapes of a tilted print says nothing of the homography's need.
    const Motion motion = model == Model::similarity ? Motion::similarity : Motion::homography;
    verdict = judge(s.estimate, choice.camera_from_reference, motion, s.view.camera_square, likenesses.get());
    if (!verdict.preferred) return choice;
    const Candidate rival{choice.source, *verdict.preferred, -1, motion == Motion::homography};
    Choice redone = finished(s, GlobalStage{motion, rival, GlobalFit{*verdict.preferred, *verdict.overlap}});
    if (model == Model::deformable) {
        const FieldChoice field = field_choice(s.estimate, redone.camera_from_reference, s.view.reference.size(),
                                               s.view.camera_square);
        redone.deformable = field.use;
        redone.field = field.field;
    }
    return redone;
}

// Sets a flag when it goes out of scope.
struct AbandonOnExit {
    std::atomic<bool>& flag;
    ~AbandonOnExit() { flag = true; }
};

}  // namespace

PreciseResult align_precise(const AlignRequest& request, const PreciseOptions& options) {
    const bool refine = options.refine;
    const RequestInterruption interruption(request);
    try {
        PreciseResult r;
        r.method = "exact";
        // The feature estimate needs only the loaded images: it runs beside
        // the exact search, its camera part from when the camera is decoded
        // (a core is often idle until the reference is).
        std::atomic<bool> abandoned{false};
        Job<CameraFeatures> camera_job;
        Job<Estimates> features_job;
        // Whatever ends the call before the estimates are taken (a camera
        // that cannot be binarised, an error, an interruption) stops them at
        // their next step: the futures' destructors wait for them.
        const AbandonOnExit abandon_on_exit{abandoned};
        cv::Mat camera_loaded;
        const CameraHook start_camera = [&](const cv::Mat& cam, cv::Size reference) {
            camera_job = start_job([cam, reference] { return camera_features(cam, halvings_for(reference)); });
        };
        const LoadedHook start_features = [&](const cv::Mat& img, const cv::Mat& cam) {
            camera_loaded = cam;
            features_job = start_job([img, cam, &camera_job, &options, &abandoned] {
                return estimates_of(img, cam, options.model != Model::similarity,
                                    camera_job.valid() ? camera_job.get() : CameraFeatures(), abandoned);
            });
        };
        ExactSearch found = refine ? run_exact_search(request, start_features, start_camera) : run_exact_search(request);
        if (found.stage != ExactSearch::Stage::searched) {
            r.transform = unaligned_result(found.stage);
            r.outcome = outcome_of(r.transform);
            r.unreadable = found.unreadable;
            return r;
        }
        const Frames f = frames_of(found);
        if (!refine) {
            // The exact entry, to the bit: its crops pair the canvas with its own transform.
            r.transform = finish_exact(found, request);
            r.reference_crop = found.pair.img_aligned;
            r.camera_crop = found.pair.cam_aligned;
            const Map<frame::Exact, frame::Reference> exact(from_sim(found.transform));
            describe(f, CanvasMap(exact.matrix()), camera_from_canvas(f) * f.canvas_from_exact * exact, r);
            const Map<frame::Square, frame::Reference> square_from_reference =
                translation<frame::Square, frame::Canvas>(-f.reference_square.x, -f.reference_square.y) *
                CanvasMap(exact.matrix());
            // The fitted camera stands in for the camera as loaded: a map to
            // its pixels is all the whole pair's correlation needs.
            const CameraMap fitted_from_reference((f.fitted_from_canvas * CanvasMap(exact.matrix())).matrix());
            const cv::Mat content = content_of(found.pair.img_ori, square_from_reference, found.pair.out_size);
            const cv::Mat camera_square = found.pair.cam_ori(f.fitted_square);
            r.correlation = crop_correlation(
                found.pair.img_aligned, camera_square, content,
                [&] { return whole_pair_correlation(reduced_pair(found.pair.img_ori, found.pair.cam_ori), fitted_from_reference); });
            r.misalignment_px = misalignment_of(found.pair.img_aligned, camera_square, content, f);
        } else {
            const Estimates estimates = features_job.get();
            const Scene scene{found, f, PairView{found.pair.img_ori, camera_loaded, camera_square_of(f), found.pair.out_size},
                              estimates.features, request, estimates.searched};
            scene.checkpoint();
            Job<std::vector<SelfSimilarity>> likenesses =
                start_job([&estimates] { return likenesses_of(estimates.features); });
            Verdict verdict;
            const Choice choice = judged(scene,
                                         options.model == Model::deformable ? deformable_choice(scene)
                                                                            : precise_choice(scene, options.model),
                                         options.model, likenesses, verdict);
            warp_and_save(scene, choice.camera_from_reference, choice.field, r);
            r.correlation = reported_correlation(r.correlation, verdict);
            r.field = choice.field;
            r.transform = exact_numbers(scene, choice.camera_from_reference);
            r.transform.score = 1 - choice.ratio;
            r.method = method_text(choice) + (verdict.ambiguous ? " (ambiguous)" : "");
            describe(f, scene.canvas_map_of(choice.camera_from_reference), choice.camera_from_reference, r);
        }
        // A score of 0 is reported like a pair that cannot be binarised, as
        // the exact entry reports it; the files are written all the same.
        r.outcome = outcome_of(r.transform);
        if (request.write_files) {
            std::tie(r.img_file, r.cam_file) =
                aligned_file_paths(request.output_dir, request.reference.path, request.camera.path);
        }
        return r;
    } catch (const cv::Exception& e) {
        throw LibraryError(std::string("image library error: ") + e.what());
    }
}

}  // namespace pairfit
