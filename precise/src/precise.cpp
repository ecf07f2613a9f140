#include "pairfit/precise.h"

#include <future>
#include <optional>
#include <string>

#include <opencv2/imgproc.hpp>

#include "Match.h"
#include "errors.h"
#include "feature_estimate.h"
#include "frames.h"
#include "pairfit/pipeline.h"
#include "refinement.h"
#include "utils.h"

namespace pairfit {
namespace {

// One estimate of the pair's map and how well it lays the reference over the
// camera near the output square.
struct Candidate {
    enum class Source { exact, features };
    Source source = Source::exact;
    CanvasMap canvas_from_reference;
    double measure = -1;
};

// What the entry settles on: the winning candidate, perhaps refined, and
// the fine-frame ratio of the map it gives.
struct Choice {
    Candidate::Source source = Candidate::Source::exact;
    bool refined = false;
    CanvasMap canvas_from_reference;
    double ratio = 1.0;
};

std::string method_text(const Choice& c) {
    std::string text = c.source == Candidate::Source::features ? "features" : "exact";
    if (c.refined) text += "+ecc";
    return text;
}

// The search's measure for any map: the masked difference ratio at the
// 300-pixel frame, with rotation, by the straightforward evaluation.
double ratio_at_fine_frame(const ExactSearch& found, const Frames& f, const CanvasMap& canvas_from_reference) {
    const SimMat exact = to_sim((f.exact_from_canvas * canvas_from_reference).matrix());
    SimMat fine(exact.theta, exact.s, exact.t_x * found.scale_2, exact.t_y * found.scale_2);
    Match match(&fine, 0, 1, 0.0, false);
    match.img_scaled = found.img_300;
    match.cam_scaled = found.cam_300;
    return match.evaluate_candidate(0, 0, 0);
}

Candidate exact_candidate(const ExactSearch& found, const Frames& f) {
    Candidate c;
    c.source = Candidate::Source::exact;
    c.canvas_from_reference = f.canvas_from_exact * Map<frame::Exact, frame::Reference>(from_sim(found.transform));
    return c;
}

// The feature estimate in the canvas frame, as a similarity near the
// reference point that `near` puts at the output square's centre.
std::optional<Candidate> feature_candidate(const FeatureEstimate& estimate, const Frames& f, const CanvasMap& near) {
    if (!estimate.camera_from_reference) return std::nullopt;
    Candidate c;
    c.source = Candidate::Source::features;
    c.canvas_from_reference = nearest_similarity(camera_from_canvas(f).inverse() * *estimate.camera_from_reference,
                                                 near.inverse()(square_centre(f)));
    return c;
}

// The better of the two candidates, refined when that helps.
Choice precise_choice(const ExactSearch& found, const Frames& f, const FeatureEstimate& estimate) {
    Candidate best = exact_candidate(found, f);
    if (std::optional<Candidate> features = feature_candidate(estimate, f, best.canvas_from_reference)) {
        features->measure = candidate_measure(found, f, features->canvas_from_reference);
        best.measure = candidate_measure(found, f, best.canvas_from_reference);
        if (features->measure > best.measure) best = *features;
    }
    Choice choice;
    choice.source = best.source;
    choice.canvas_from_reference = best.canvas_from_reference;
    choice.ratio = ratio_at_fine_frame(found, f, best.canvas_from_reference);
    const bool close_start = best.source == Candidate::Source::features;
    const std::optional<CanvasMap> global = refine_globally(estimate, f, best.canvas_from_reference, close_start);
    const CanvasMap after_global = global ? *global : best.canvas_from_reference;
    const std::optional<CanvasMap> local = refine_shift_near_crop(found, f, after_global);
    if (global || local) {
        const CanvasMap refined = local ? *local : after_global;
        const double refined_ratio = ratio_at_fine_frame(found, f, refined);
        // The coarse measure can only confirm that the refinement did not
        // leave the match; it cannot see a fraction of a pixel.
        if (refined_ratio <= choice.ratio + 0.02) {
            choice.canvas_from_reference = refined;
            choice.ratio = refined_ratio;
            choice.refined = true;
        }
    }
    return choice;
}

// The final warp, bilinear, of the output square only, and the camera crop
// masked where the warped reference has no content.
void warp_and_save(const ExactSearch& found, const Frames& f, const CanvasMap& canvas_from_reference,
                   const AlignRequest& request, PreciseResult& r) {
    const ICPair& pair = found.pair;
    const int out = pair.out_size;
    const auto square_from_canvas =
        translation<frame::Square, frame::Canvas>(-f.reference_square.x, -f.reference_square.y);
    const cv::Mat m(top_rows((square_from_canvas * canvas_from_reference).matrix()));
    cv::Mat img_aligned, img_masked;
    cv::warpAffine(pair.img_ori, img_aligned, m, cv::Size(out, out), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar::all(127));
    cv::warpAffine(pair.img_ori, img_masked, m, cv::Size(out, out), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar());
    const cv::Mat cam_cropped = pair.cam_ori(f.fitted_square);
    cv::Mat cam_aligned = cam_cropped;
    if (pair.is_masked) Get_Mask_ROI(img_masked, cam_cropped, cam_aligned, 0, 127);
    write_crops(img_aligned, cam_aligned, request);
    r.reference_crop = img_aligned;
    r.camera_crop = cam_aligned;
}

// What the written crops embody, in the camera image as loaded.
void describe_crops(const Frames& f, const CanvasMap& canvas_from_reference, PreciseResult& r) {
    const Map<frame::Camera, frame::Reference> camera_from_reference = camera_from_canvas(f) * canvas_from_reference;
    r.crop_map = top_rows(camera_from_reference.matrix());
    r.matrix = camera_from_reference.matrix();
    const cv::Rect& q = f.fitted_square;
    r.camera_square = cv::Rect2d(f.camera_from_fitted(cv::Point2d(q.x, q.y)), f.camera_from_fitted(cv::Point2d(q.br())));
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
        CanvasMap crops_from_reference;
        if (!refine) {
            // The exact entry, to the bit: its crops pair the canvas with its own transform.
            r.transform = finish_exact(found, request);
            r.reference_crop = found.pair.img_aligned;
            r.camera_crop = found.pair.cam_aligned;
            crops_from_reference = CanvasMap(from_sim(found.transform));
        } else {
            const Choice choice = precise_choice(found, f, features_job.get());
            warp_and_save(found, f, choice.canvas_from_reference, request, r);
            r.transform = to_sim((f.exact_from_canvas * choice.canvas_from_reference).matrix());
            r.transform.score = 1 - choice.ratio;
            r.method = method_text(choice);
            crops_from_reference = choice.canvas_from_reference;
        }
        // A score of 0 is reported like a pair that cannot be binarised, as
        // the exact entry reports it; the files are written all the same.
        r.outcome = outcome_of(r.transform);
        if (request.write_files) {
            std::tie(r.img_file, r.cam_file) =
                aligned_file_paths(request.output_dir, request.reference.path, request.camera.path);
        }
        describe_crops(f, crops_from_reference, r);
        return r;
    } catch (const cv::Exception& e) {
        throw LibraryError(std::string("image library error: ") + e.what());
    }
}

}  // namespace pairfit
