#pragma once
// What the whole pair says of a map that the output square accepts. The
// square alone can be fooled: a print whose shapes have twins, turned a half
// turn, lays one shape over its twin; a straight edge or a flat grey area
// (a truncated camera file) matches something in any print; a pattern of
// equal cells matches itself a cell away. The whole overlap of the two
// images shows what the square does not, and the maps that the print's own
// likeness leaves open are tried against the one found.

#include <functional>
#include <optional>
#include <vector>

#include "ecc.h"
#include "feature_estimate.h"
#include "correlation_search.h"
#include "frames.h"
#include "refinement.h"

namespace pairfit {

/// The global stage's fit for `motion` from a start that the correlation
/// search found, where it lays the pair over itself as a pair (its
/// correlation at least the pair threshold); none otherwise. On an unrelated
/// pair every shift matches something; on a true pair a start a few pixels
/// off may correlate less than the threshold as it stands: the fit decides,
/// not the start.
std::optional<GlobalFit> search_start_fit(const FeatureEstimate& reduced, const CameraMap& start, Motion motion);

/// The whole pair's judgement of a map.
struct Verdict {
    /// The overlap's correlation under the map (none where it cannot tell).
    std::optional<double> overlap;
    /// A rival that lays the print elsewhere and that the whole pair
    /// prefers, fitted by the global stage.
    std::optional<CameraMap> preferred;
    /// A rival that lays the print elsewhere explains the pair about as
    /// well: nothing in the two images tells which is right.
    bool ambiguous = false;
    /// How much better the map explains the whole pair than its best rival
    /// (the difference of their overlaps' correlations).
    double margin = 1;
};

/// The rivals that the reference's own likenesses leave open (the map
/// composed with a shift by its pattern's periods, or with a turn onto its
/// twins), each fitted by the global stage for `motion`, against the map
/// over the whole pair; a rival preferred is judged in turn where the print
/// repeats. Only for a map whose overlap shows a pair. `camera_square`: the output square in the camera,
/// where a rival must lay the print elsewhere to count. `fitted_from`: the
/// start the map was fitted from; a map below 0.8 that its fit moved
/// elsewhere has its rivals started from it too, where none started from
/// the map lays the print over itself beyond doubt (0.8). `likenesses` gives
/// the reference's own (they are found beside the choice of the map): taken
/// only once the overlap shows a pair, after what needs nothing of them.
Verdict judge(const FeatureEstimate& reduced, const CameraMap& camera_from_reference, const CameraMap& fitted_from,
              Motion motion, const cv::Rect2d& camera_square,
              const std::function<std::vector<SelfSimilarity>()>& likenesses);

/// The reference's likenesses that `judge` tries: they need nothing of the
/// camera and can be found beside the choice of the map.
std::vector<SelfSimilarity> likenesses_of(const FeatureEstimate& reduced);

/// The correlation a result reports: the square's, unless the whole pair
/// says that no pair is shown (the overlap's, where lower and below the
/// pair threshold) or cannot tell the map from a rival (the margin).
double reported_correlation(double square, const Verdict& verdict);

}  // namespace pairfit
