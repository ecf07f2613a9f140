// The displacement field of the deformable model and points carried through
// a result's whole map.

#include <cmath>
#include <limits>

#include "bspline.h"
#include "frames.h"
#include "pairfit/precise.h"

namespace pairfit {
namespace {

// The spline's weights at a reference point along both axes.
struct PointWeights {
    SplineWeights x, y;
};

PointWeights weights_at(const DisplacementField& f, cv::Point2d p) {
    return {spline_weights((p.x - f.origin.x) / f.spacing, f.dx.cols),
            spline_weights((p.y - f.origin.y) / f.spacing, f.dx.rows)};
}

// sum of c(j, i) wy(j) wx(i) over the sixteen control points.
double combined(const cv::Mat& c, const SplineWeights& sx, const double* wx, const SplineWeights& sy, const double* wy) {
    double sum = 0;
    for (int a = 0; a < 4; ++a) {
        const double* row = c.ptr<double>(sy.first + a) + sx.first;
        sum += wy[a] * (wx[0] * row[0] + wx[1] * row[1] + wx[2] * row[2] + wx[3] * row[3]);
    }
    return sum;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const cv::Point2d kNowhere(kNaN, kNaN);

cv::Point2d displacement_of(const DisplacementField& f, const PointWeights& s) {
    return {combined(f.dx, s.x, s.x.w, s.y, s.y.w), combined(f.dy, s.x, s.x.w, s.y, s.y.w)};
}

// Per reference pixel.
cv::Matx22d jacobian_of(const DisplacementField& f, const PointWeights& s) {
    return cv::Matx22d(combined(f.dx, s.x, s.x.d, s.y, s.y.w), combined(f.dx, s.x, s.x.w, s.y, s.y.d),
                       combined(f.dy, s.x, s.x.d, s.y, s.y.w), combined(f.dy, s.x, s.x.w, s.y, s.y.d)) *
           (1 / f.spacing);
}

// Newton steps on the whole map from `p`: the reference point it takes to
// `camera`, or NaN where no step converges.
cv::Point2d newton_inverse(const cv::Matx33d& matrix, const DisplacementField& field, cv::Point2d camera, cv::Point2d p) {
    const Map<frame::Camera, frame::Reference> forward(matrix);
    for (int step = 0; step < 30; ++step) {
        if (!(std::abs(p.x) < 1e7 && std::abs(p.y) < 1e7)) break;
        const PointWeights s = weights_at(field, p);
        const cv::Point2d miss = forward(p) + displacement_of(field, s) - camera;
        if (std::hypot(miss.x, miss.y) < 1e-7) return p;
        const cv::Matx22d j = pairfit::jacobian_at(matrix, p) + jacobian_of(field, s);
        const double det = cv::determinant(j);
        if (!(std::abs(det) > 1e-12)) break;
        p -= cv::Point2d((j(1, 1) * miss.x - j(0, 1) * miss.y) / det, (-j(1, 0) * miss.x + j(0, 0) * miss.y) / det);
    }
    return kNowhere;
}

bool is_finite(cv::Point2d p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// A matrix scaled so that the points in front of the camera (or of the
// print, for its inverse) have w > 0: a projective matrix and its negative
// are the same map.
cv::Matx33d facing(const cv::Matx33d& m) { return m(2, 2) < 0 ? -m : m; }

bool in_front(const cv::Matx33d& m, cv::Point2d p) { return m(2, 0) * p.x + m(2, 1) * p.y + m(2, 2) > 0; }

// A matrix that maps the plane onto a line or a point (the all-zero one of a
// result without a map) takes no point anywhere.
bool usable(const cv::Matx33d& m) {
    for (int i = 0; i < 9; ++i) {
        if (!std::isfinite(m.val[i])) return false;
    }
    return cv::determinant(m) != 0;
}

}  // namespace

cv::Point2d DisplacementField::at(cv::Point2d reference) const {
    if (empty()) return {0, 0};
    if (!is_finite(reference)) return kNowhere;
    return displacement_of(*this, weights_at(*this, reference));
}

cv::Matx22d DisplacementField::jacobian_at(cv::Point2d reference) const {
    if (empty()) return cv::Matx22d::zeros();
    if (!is_finite(reference)) return cv::Matx22d::all(kNaN);
    return jacobian_of(*this, weights_at(*this, reference));
}

std::vector<cv::Point2d> map_points(const cv::Matx33d& given, const DisplacementField& field,
                                    const std::vector<cv::Point2d>& points, bool inverse) {
    if (!usable(given)) return std::vector<cv::Point2d>(points.size(), kNowhere);
    std::vector<cv::Point2d> mapped;
    mapped.reserve(points.size());
    const cv::Matx33d matrix = facing(given);
    const Map<frame::Camera, frame::Reference> forward(matrix);
    const Map<frame::Reference, frame::Camera> back(facing(matrix.inv()));
    for (const cv::Point2d p : points) {
        if (!inverse) {
            const cv::Point2d q = in_front(matrix, p) ? forward(p) + field.at(p) : kNowhere;
            mapped.push_back(is_finite(q) ? q : kNowhere);
        } else if (field.empty()) {
            const cv::Point2d q = in_front(back.matrix(), p) ? back(p) : kNowhere;
            mapped.push_back(is_finite(q) ? q : kNowhere);
        } else {
            // Points come in rows of a lattice as often as not: the previous
            // one's displacement starts Newton a step or two from the
            // answer; from the homography's inverse alone it takes several.
            cv::Point2d found = kNowhere;
            if (!mapped.empty() && is_finite(mapped.back())) {
                found = newton_inverse(matrix, field, p, back(p - field.at(mapped.back())));
            }
            if (!is_finite(found)) found = newton_inverse(matrix, field, p, back(p));
            // Newton may also land on the mirror image behind the camera.
            mapped.push_back(is_finite(found) && in_front(matrix, found) ? found : kNowhere);
        }
    }
    return mapped;
}

}  // namespace pairfit
