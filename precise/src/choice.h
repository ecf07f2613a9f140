#pragma once
// The choice of the precise entry's map: the candidates (the exact search,
// the features and, where they match nothing, the correlation search), the
// global and the near-crop stages of the refinement, and between a
// similarity, a homography and a deformable field.

#include <atomic>
#include <vector>

#include <opencv2/core.hpp>

#include "deformable.h"
#include "feature_estimate.h"
#include "frames.h"
#include "pairfit/worker_pool.h"
#include "plausibility.h"
#include "pairfit/precise.h"
#include "refinement.h"

namespace pairfit {

// What the features make of a pair and, where they match nothing, the
// correlation search.
struct Estimates {
    FeatureEstimate features;
    std::vector<CameraMap> searched;
};

// Without a feature estimate the exact search would be the only start, and
// it has no rotation: on a repeated pattern it may settle on a neighbouring
// cell, which the refinement would then polish. A pair the exact search has
// given up on (a camera that cannot be binarised) is not searched further.
Estimates estimates_of(const cv::Mat& img, const cv::Mat& cam, bool with_homography, CameraFeatures camera,
                       const std::atomic<bool>& abandoned);

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
    CameraMap fitted_from;  ///< the winning candidate's map, before any fit
    double ratio = 1.0;
    /// With the deformable model: whether its field was used, and why not.
    DeformableUse deformable = DeformableUse::not_asked;
    DisplacementField field;  ///< added to camera_from_reference where used
    double field_spread_px = 0;  ///< see FieldChoice::spread_px
};

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
        return camera_from_reference.inverse()(pairfit::centre_of(view.camera_square));
    }
    CanvasMap canvas_map_of(const CameraMap& camera_from_reference) const {
        return camera_from_canvas(f).inverse() * camera_from_reference;
    }
    void checkpoint() const { stage_checkpoint(); }
};

// The five numbers of a map: the similarity that matches it best around the
// output square's centre, in the exact search's frame.
SimMat exact_numbers(const Scene& s, const CameraMap& camera_from_reference);

/// The map a model settles on, refined where the search's measure agrees.
Choice precise_choice(const Scene& s, Model model);
/// The homography's choice and, over it, the field where it earns its place.
Choice deformable_choice(const Scene& s);

/// The choice as the whole pair judges it: a rival it prefers (the print's
/// twin shape, another cell of its pattern) is finished as the choice was.
/// `likenesses` are the reference's own (its twin shapes, its period).
Choice judged(const Scene& s, Choice choice, Model model, Job<std::vector<SelfSimilarity>>& likenesses,
              Verdict& verdict);

}  // namespace pairfit
