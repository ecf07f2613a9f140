#include "choice.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <utility>

#include "correlation_search.h"
#include "pairfit/core.h"
#include "plausibility.h"
#include "pairfit/worker_pool.h"

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
        return {reduced_pair(img, cam), {}};
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

SimMat exact_numbers(const Scene& s, const CameraMap& camera_from_reference) {
    const CanvasMap near_centre = nearest_similarity(s.canvas_map_of(camera_from_reference),
                                                     s.centre_of(camera_from_reference));
    return to_sim((s.f.exact_from_canvas * near_centre).matrix());
}

namespace {

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
    choice.fitted_from = g.start.camera_from_reference;
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

Choice similarity_instead(const Scene& s, const GlobalStage& similar, Choice::Homography why) {
    Choice choice = finished(s, similar);
    choice.homography = why;
    return choice;
}

// The field over a choice's map where it earns its place.
Choice with_field(const Scene& s, Choice choice) {
    const FieldChoice field = field_choice(s.estimate, choice.camera_from_reference, s.view.reference.size(),
                                           s.view.camera_square);
    choice.deformable = field.use;
    choice.field = field.field;
    choice.field_spread_px = field.spread_px;
    return choice;
}

}  // namespace

Choice precise_choice(const Scene& s, Model model) {
    if (model == Model::similarity) return finished(s, checked(s, similarity_stage(s)));
    // Both models are fitted and compared, even where the feature estimates'
    // homography and similarity nearly agree: on a slight tilt (a pixel at a
    // large square's corners) the features' homography is as noisy as the
    // tilt is small, and took tilted photographs for similarities.
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
    return with_field(s, std::move(choice));
}

Choice judged(const Scene& s, Choice choice, Model model, Job<std::vector<SelfSimilarity>>& likenesses,
              Verdict& verdict) {
    // A rival is fitted with the motion asked for: a similarity fitted to
    // the wrong shapes of a tilted print says nothing of the homography's need.
    const Motion motion = model == Model::similarity ? Motion::similarity : Motion::homography;
    verdict = judge(s.estimate, choice.camera_from_reference, choice.fitted_from, motion, s.view.camera_square,
                    [&likenesses] { return likenesses.get(); });
    if (!verdict.preferred) return choice;
    const Candidate rival{choice.source, *verdict.preferred, -1, motion == Motion::homography};
    Choice redone = finished(s, GlobalStage{motion, rival, GlobalFit{*verdict.preferred, *verdict.overlap}});
    return model == Model::deformable ? with_field(s, std::move(redone)) : redone;
}

}  // namespace pairfit
