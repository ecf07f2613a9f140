#include "pairfit/precise.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <tuple>

#include "choice.h"
#include "crop_measures.h"
#include "description.h"
#include "errors.h"
#include "frames.h"
#include "pairfit/pipeline.h"
#include "square_warp.h"
#include "utils.h"
#include "pairfit/worker_pool.h"

namespace pairfit {
namespace {

struct AbandonOnExit {
    std::atomic<bool>& flag;
    ~AbandonOnExit() { flag = true; }
};

// The exact entry, to the bit: its crops pair the canvas with its own
// transform. They are measured as the refined ones are.
void exact_crops(const ExactSearch& found, const Frames& f, const AlignRequest& request, PreciseResult& r) {
    const ExactCrops crops = finish_exact(found, request);
    r.transform = crops.transform;
    r.reference_crop = crops.reference_crop;
    r.camera_crop = crops.camera_crop;
    const Map<frame::Exact, frame::Reference> exact(from_sim(found.transform));
    describe(f, CanvasMap(exact.matrix()), camera_from_canvas(f) * f.canvas_from_exact * exact, r);
    const Map<frame::Square, frame::Reference> square_from_reference =
        translation<frame::Square, frame::Canvas>(-f.reference_square.x, -f.reference_square.y) *
        CanvasMap(exact.matrix());
    // The fitted camera stands in for the camera as loaded: a map to
    // its pixels is all the whole pair's correlation needs.
    const CameraMap fitted_from_reference((f.fitted_from_canvas * CanvasMap(exact.matrix())).matrix());
    const cv::Mat content = content_of(found.reference(), square_from_reference, found.out_size());
    const cv::Mat camera_square = found.fitted_camera()(f.fitted_square);
    r.correlation = crop_correlation(
        crops.reference_crop, camera_square, content,
        [&] { return whole_pair_correlation(reduced_pair(found.reference(), found.fitted_camera()), fitted_from_reference); });
    r.misalignment_px = misalignment_of(crops.reference_crop, camera_square, content, f, false);
}

// The refined map the model settles on, as the whole pair judges it, its
// crops and what they embody. `likenesses`: the reference's own, searched
// for since the reference was loaded.
void refined_crops(const Scene& scene, Job<std::vector<SelfSimilarity>>& likenesses, Model model, PreciseResult& r) {
    Verdict verdict;
    const Choice choice = judged(
        scene, model == Model::deformable ? deformable_choice(scene) : precise_choice(scene, model), model,
        likenesses, verdict);
    warp_and_save(scene, choice.camera_from_reference, choice.field, r);
    // The crops' windows see the error where the reference has content; how
    // far a field may stray over blank stretches they cannot see. The two
    // are apart and independent, so they add as variances do. (Taking the
    // larger told the error within max(0.3 px, half) on 74 of 80 real
    // prints, adding them on 77: the error under waves over blurred tiles,
    // seen in part by each, was short.)
    if (!choice.field.empty()) r.misalignment_px = std::hypot(r.misalignment_px, choice.field_spread_px);
    r.correlation = reported_correlation(r.correlation, verdict);
    r.field = choice.field;
    r.transform = exact_numbers(scene, choice.camera_from_reference);
    r.transform.score = 1 - choice.ratio;
    r.method = method_text(choice) + (verdict.ambiguous ? " (ambiguous)" : "");
    describe(scene.f, scene.canvas_map_of(choice.camera_from_reference), choice.camera_from_reference, r);
}

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
        // The reference's likenesses, which the judgement of the map needs,
        // take longer than the choice of the map: they start with the
        // reference, the first work that needs nothing of the camera.
        Job<std::vector<SelfSimilarity>> likenesses_job;
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
            likenesses_job = start_job([img, &abandoned] {
                return abandoned ? std::vector<SelfSimilarity>() : likenesses_of(reduced_reference(img));
            });
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
            exact_crops(found, f, request, r);
        } else {
            const Estimates estimates = features_job.get();
            const Scene scene{found, f, PairView{found.reference(), camera_loaded, camera_square_of(f), found.out_size()},
                              estimates.features, request, estimates.searched};
            scene.checkpoint();
            refined_crops(scene, likenesses_job, options.model, r);
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
