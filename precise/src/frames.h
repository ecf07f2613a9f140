#pragma once
// The coordinate frames of the precise entry and typed maps between them.
//
// A map is named by what it maps, `camera_from_reference` taking reference
// pixels to camera pixels, and its type says the same: Map<To, From>. Maps
// compose only when the frames meet (Map<A, B> * Map<B, C> is a Map<A, C>),
// so a product in the wrong order does not compile.

#include <cmath>

#include <opencv2/core.hpp>

#include "SimMat.h"
#include "pairfit/pipeline.h"

namespace pairfit::frame {

struct Reference {};  ///< the reference image as loaded
struct Camera {};     ///< the camera image as loaded from its file
/// The camera as the exact search holds it: a camera image smaller than the
/// reference enlarged to fit it and centred on a border; otherwise Camera.
struct Fitted {};
/// A reference-sized view of the fitted camera, shifted so that its square at
/// the reference's output square shows the camera's output square.
struct Canvas {};
/// The frame of the exact search's transform: the canvas offset by the
/// rounding of the search's centre crop at its fine frame.
struct Exact {};
/// The output square: the canvas cropped at the reference's output square.
struct Square {};

}  // namespace pairfit::frame

namespace pairfit {

/// A projective map of the plane from frame From to frame To (affine maps
/// keep the last row 0 0 1).
template <class To, class From>
class Map {
public:
    Map() = default;
    explicit Map(const cv::Matx33d& m) : m_(m) {}

    const cv::Matx33d& matrix() const { return m_; }
    Map<From, To> inverse() const { return Map<From, To>(m_.inv()); }

    /// True when the last row is 0 0 1 up to the rounding of an inverse
    /// (whose corner is det * (1 / det)): such a map is applied as affine.
    bool affine() const { return m_(2, 0) == 0 && m_(2, 1) == 0; }

    cv::Point2d operator()(cv::Point2d p) const {
        const cv::Point2d q(m_(0, 0) * p.x + m_(0, 1) * p.y + m_(0, 2), m_(1, 0) * p.x + m_(1, 1) * p.y + m_(1, 2));
        if (affine()) return q;
        const double w = m_(2, 0) * p.x + m_(2, 1) * p.y + m_(2, 2);
        return q / w;
    }

private:
    cv::Matx33d m_ = cv::Matx33d::eye();
};

template <class A, class B, class C>
Map<A, C> operator*(const Map<A, B>& left, const Map<B, C>& right) {
    return Map<A, C>(left.matrix() * right.matrix());
}

template <class To, class From>
Map<To, From> translation(double x, double y) {
    return Map<To, From>(cv::Matx33d(1, 0, x, 0, 1, y, 0, 0, 1));
}

template <class To, class From>
Map<To, From> scaling(double f) {
    return Map<To, From>(cv::Matx33d(f, 0, 0, 0, f, 0, 0, 0, 1));
}

/// The top two rows of a 3x3 matrix; a 2x3 matrix (any depth) as 3x3.
cv::Matx23d top_rows(const cv::Matx33d& m);
cv::Matx33d with_last_row(const cv::Mat& two_by_three);

/// The derivative of a map at a point: its linear part for an affine map.
cv::Matx22d jacobian_at(const cv::Matx33d& m, cv::Point2d p);

inline cv::Point2d centre_of(const cv::Rect2d& r) { return {r.x + r.width / 2, r.y + r.height / 2}; }

/// How many times larger a map shows the neighbourhood of a point.
inline double size_ratio_at(const cv::Matx33d& m, cv::Point2d p) {
    return std::sqrt(std::abs(cv::determinant(jacobian_at(m, p))));
}

/// The closest similarity to a map near point `centre` (in From): rotation
/// and scale averaged from the map's derivative there, the shift keeping the
/// centre's image in place.
template <class To, class From>
Map<To, From> nearest_similarity(const Map<To, From>& m, cv::Point2d centre) {
    const cv::Matx22d j = m.affine() ? cv::Matx22d(m.matrix()(0, 0), m.matrix()(0, 1), m.matrix()(1, 0), m.matrix()(1, 1))
                                     : jacobian_at(m.matrix(), centre);
    const double a = (j(0, 0) + j(1, 1)) / 2;
    const double b = (j(1, 0) - j(0, 1)) / 2;
    const cv::Point2d target = m(centre);
    return Map<To, From>(cv::Matx33d(a, -b, target.x - (a * centre.x - b * centre.y), b, a,
                                     target.y - (b * centre.x + a * centre.y), 0, 0, 1));
}

/// SimMat and maps: the five numbers' transform of a similarity.
SimMat to_sim(const cv::Matx33d& similarity);
cv::Matx33d from_sim(const SimMat& m);

/// Where the output squares sit and how the frames relate for one pair.
struct Frames {
    cv::Rect reference_square;  ///< the output square in the reference (and the canvas)
    cv::Rect fitted_square;     ///< the camera's output square in the fitted camera
    Map<frame::Fitted, frame::Canvas> fitted_from_canvas;
    Map<frame::Canvas, frame::Exact> canvas_from_exact;
    Map<frame::Exact, frame::Canvas> exact_from_canvas;
    Map<frame::Camera, frame::Fitted> camera_from_fitted;
};

Frames frames_of(const ExactSearch& found);

Map<frame::Camera, frame::Canvas> camera_from_canvas(const Frames& f);

/// The camera's output square in the camera image as loaded.
cv::Rect2d camera_square_of(const Frames& f);

/// The pair's map where its motion lives: reference to camera as loaded.
using CameraMap = Map<frame::Camera, frame::Reference>;
/// The map the exact entry's crops are made with.
using CanvasMap = Map<frame::Canvas, frame::Reference>;

/// True when a map cannot be the view of a flat subject through the output
/// square (camera pixels): it turns the square inside out, a vanishing line
/// crosses it, or a corner lands farther than the square's side from where
/// the similarity nearest the map at the centre puts it.
bool folds(const CameraMap& camera_from_reference, const cv::Rect2d& camera_square);

}  // namespace pairfit
