#pragma once
// The precise entry: the exact search and a feature-based estimate as two
// candidates, the better refined to a fraction of a pixel near the output
// crop, and a bilinear final warp.

#include <string>

#include <opencv2/core.hpp>

#include "SimMat.h"
#include "pairfit/outcome.h"
#include "pairfit/request.h"

namespace pairfit {

/// The motion the precise entry fits: a similarity, or a homography for a
/// camera that is not square-on to a flat subject.
enum class Model { similarity, homography };

/// How the precise entry works.
struct PreciseOptions {
    bool refine = true;  ///< false: the exact entry, bit for bit
    Model model = Model::similarity;
};

struct PreciseResult {
    SimMat transform{0, 0, 0, 0};  ///< score, theta, s, t_x, t_y, mat: as alignment_ICpair reports them
    Outcome outcome = Outcome::missing;
    std::string method;            ///< the estimate that won: "exact", "features"; "+ecc" when refined
    std::string img_file;          ///< the two files written, "" when none
    std::string cam_file;
    cv::Mat reference_crop;        ///< the two aligned squares, 8-bit BGR; empty when nothing was aligned
    cv::Mat camera_crop;
    /// The map from reference pixels to pixels of the camera image as loaded
    /// that the two written crops embody (zero when nothing was aligned).
    cv::Matx23d crop_map = cv::Matx23d::zeros();
    /// The camera crop's square in pixels of the camera image as loaded.
    cv::Rect2d camera_square;
    /// Reference pixels (x, y, 1) to pixels of the camera image as loaded.
    cv::Matx33d matrix = cv::Matx33d::zeros();
    /// Zero-mean normalised correlation of the two aligned, band-passed
    /// images over the output square, -1 to 1 (0 when nothing was aligned).
    double correlation = 0;
};

/// Below this correlation a result is not a pair: the camera image shows
/// something else than the reference (measured on generated pairs: aligned
/// pairs under harsh light and sparse labels stay above 0.7, unrelated images
/// below 0.15).
inline constexpr double kPairCorrelation = 0.4;

/// Aligns a pair like alignment_ICpair, with the same outcomes, output names
/// and errors, but finds the transform with rotation and to a fraction of a
/// pixel. With refine false it is alignment_ICpair itself. score is 1 minus
/// the masked difference ratio of the final transform at the 300-pixel frame.
PreciseResult align_precise(const AlignRequest& request, const PreciseOptions& options = {});

}  // namespace pairfit
