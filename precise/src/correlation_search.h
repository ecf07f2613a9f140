#pragma once
// Starting maps for pairs whose features do not match. On a repeated pattern
// (a sheet of numbered stickers, a well plate) every cell's features have the
// same neighbours, so the ratio test leaves none, and the exact search, which
// has no rotation, may lock onto a neighbouring cell. Rotation and scale come
// from the two images' spectra (Fourier-Mellin), which a repeated pattern
// makes sharper, not ambiguous; the shift from a normalised correlation over
// all shifts, whose best peaks are the places the repetition leaves open.

#include <vector>

#include "feature_estimate.h"
#include "frames.h"

namespace pairfit {

/// Up to `count` similarities, reference to camera as loaded, from the
/// correlation of the reduced pair over rotation, scale and shift, best
/// first; each is good to a few pixels of a 256-pixel rendering of the
/// reference. Empty without reduced images.
std::vector<CameraMap> correlation_candidates(const FeatureEstimate& reduced, int count);

/// A map of the reference onto itself under which it looks alike (a shift by
/// a repeated pattern's period, a half turn of a print whose shapes have
/// twins, a square grid's quarter turn), and the normalised correlation of the reference with itself
/// under it, band-passed, where it has content.
struct SelfSimilarity {
    Map<frame::Reference, frame::Reference> map;
    double correlation = 0;
};

/// A shift under which a print correlates with itself this well is a period
/// of a regular pattern of cells, which repeats it beyond the shift itself
/// (lines of text reach 0.6).
inline constexpr double kPeriodic = 0.8;

/// Up to `shifts` shifts and the best quarter and half turns of the reduced reference
/// onto itself, each good to a few pixels of a 384-pixel rendering of it;
/// the reference's own place left out. Empty without a reduced reference.
std::vector<SelfSimilarity> self_similarities(const FeatureEstimate& reduced, int shifts);

}  // namespace pairfit
