#pragma once
// The precise entry: the exact search and a feature-based estimate as two
// candidates, the better refined to a fraction of a pixel near the output
// crop, and a bilinear final warp.

#include <limits>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "SimMat.h"
#include "pairfit/outcome.h"
#include "pairfit/request.h"

namespace pairfit {

/// The motion the precise entry fits: a similarity, a homography for a
/// camera that is not square-on to a flat subject, or a homography and a
/// smooth displacement for a lens's distortion or a print that is not flat.
enum class Model { similarity, homography, deformable };

/// The models by the names pairfit.align, pairfit-batch and the engine pipe use.
inline const std::map<std::string, Model> kModelNames = {
    {"similarity", Model::similarity}, {"homography", Model::homography}, {"deformable", Model::deformable}};

/// The name of a model in kModelNames.
inline std::string model_name(Model model) {
    for (const auto& [name, named] : kModelNames) {
        if (named == model) return name;
    }
    return "";
}

/// A smooth displacement of the camera image, added to the homography:
/// camera = matrix(p) + field(p) for a reference pixel p. A uniform cubic
/// B-spline over the reference: control point (i, j) sits at reference pixel
/// origin + spacing (i, j), and field(p) = sum over i, j of
/// (dx, dy)(j, i) b((p.x - origin.x) / spacing - i) b((p.y - origin.y) / spacing - j),
/// b the centred cubic B-spline (b(0) = 2/3, b(1) = 1/6, 0 from 2 on).
struct DisplacementField {
    cv::Point2d origin;  ///< reference pixel of control point (0, 0)
    double spacing = 0;  ///< reference pixels between control points
    cv::Mat dx, dy;      ///< CV_64F, one row per row of control points; camera pixels; empty: no field

    bool empty() const { return dx.empty(); }
    /// The displacement at a reference pixel (zero for an empty field).
    cv::Point2d at(cv::Point2d reference) const;
    /// Its derivative there: d field / d p.
    cv::Matx22d jacobian_at(cv::Point2d reference) const;
};

/// How the precise entry works.
struct PreciseOptions {
    bool refine = true;  ///< false: the exact entry, bit for bit
    Model model = Model::similarity;
};

struct PreciseResult {
    SimMat transform{0, 0, 0, 0};  ///< score, theta, s, t_x, t_y, mat: as alignment_ICpair reports them
    Outcome outcome = Outcome::missing;
    /// For the missing outcome: which image could not be read and why (see
    /// ExactSearch::unreadable); empty otherwise.
    std::string unreadable;
    /// The estimate that won, "exact", "features" or "correlation" (the
    /// correlation search, where features match nothing), "+ecc" when refined;
    /// with the homography model ":homography", or ":similarity (homography
    /// not needed)" or ":similarity (homography rejected)" when it folded;
    /// with the deformable model ":deformable", or the model it fell back on
    /// followed by " (deformable not needed)" or " (deformable rejected)".
    std::string method;
    std::string img_file;          ///< the two files written, "" when none
    std::string cam_file;
    cv::Mat reference_crop;        ///< the two aligned squares, 8-bit BGR; empty when nothing was aligned
    cv::Mat camera_crop;
    /// The map from reference pixels to pixels of the camera image as loaded
    /// that the two written crops embody (zero when nothing was aligned); the
    /// top rows only, exact for the similarity: `matrix` holds a homography
    /// (and `field` the rest of a deformable map).
    cv::Matx23d crop_map = cv::Matx23d::zeros();
    /// The camera crop's square in pixels of the camera image as loaded.
    cv::Rect2d camera_square;
    /// Reference pixels (x, y, 1) to pixels of the camera image as loaded, for
    /// both models (zero when nothing was aligned). Without refinement, the
    /// exact search's transform in the camera's own pixels.
    cv::Matx33d matrix = cv::Matx33d::zeros();
    /// Zero-mean normalised correlation of the two aligned, band-passed
    /// images over the output square, -1 to 1 (0 when nothing was aligned);
    /// without refinement, of the exact entry's crops. Where the square shows
    /// blank paper, of the whole pair reduced.
    double correlation = 0;
    /// With model deformable, where it was used: the displacement added to
    /// `matrix`; empty otherwise.
    DisplacementField field;

    /// How far apart the two crops still are, in pixels of the camera image
    /// as loaded: the 95th percentile of the local shifts measured in windows
    /// of the two aligned squares where the reference has detail (see
    /// misalignment.h); with a field, how far the field may stray over
    /// blank stretches, where no window sees it, is added in quadrature. NaN
    /// when nothing was aligned or the square shows too few such windows
    /// (blank paper, a smooth sky).
    double misalignment_px = std::numeric_limits<double>::quiet_NaN();
};

/// Below this correlation a result is not a pair: the camera image shows
/// something else than the reference (measured by scripts/accuracy: pairs
/// aligned within a pixel, harsh light and sparse labels among them, scored
/// 0.65 and more; unrelated images 0.12 and less).
inline constexpr double kPairCorrelation = 0.4;

/// Aligns a pair like alignment_ICpair, with the same outcomes, output names
/// and errors, but finds the transform with rotation and to a fraction of a
/// pixel. With refine false it is alignment_ICpair itself. score is 1 minus
/// the masked difference ratio of the final transform at the 300-pixel frame.
PreciseResult align_precise(const AlignRequest& request, const PreciseOptions& options = {});

/// Reference pixels to pixels of the camera image as loaded through a
/// result's whole map (`matrix` and `field`), or back with `inverse` (Newton
/// steps on the map from the homography's inverse). Points the map cannot
/// take (NaN or infinite ones, those beyond the horizon, those where no step
/// converges, and all of them when the matrix is singular, as a result
/// without a map has it) come back NaN.
std::vector<cv::Point2d> map_points(const cv::Matx33d& matrix, const DisplacementField& field,
                                    const std::vector<cv::Point2d>& points, bool inverse = false);

}  // namespace pairfit
