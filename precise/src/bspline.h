#pragma once
// The uniform cubic B-spline's four weights at a point: what the
// displacement field and its fit share.

#include <algorithm>
#include <cmath>

namespace pairfit {

/// The four control points that reach a point and their weights: the point
/// lies `first` + 1 + f control spacings from the grid's origin (0 <= f < 1).
struct SplineWeights {
    int first = 0;         ///< the first of the four control points
    double w[4] = {};      ///< their weights, summing to 1
    double d[4] = {};      ///< the weights' derivatives along the axis, per spacing
};

/// The weights at `u` control spacings from the origin on a grid of `count`
/// control points (at least 4). Outside the span where four control points
/// reach, the nearest point of the span stands in: the field extends
/// constant beyond the grid, with zero derivative across its edge.
inline SplineWeights spline_weights(double u, int count) {
    SplineWeights s;
    const double upper = count - 2;
    const bool inside = u >= 1 && u < upper;
    // NaN compares false both ways and would pass the clamp: the control
    // points taken would lie anywhere in memory.
    const double clamped = std::isnan(u) ? 1.0 : std::min(std::max(u, 1.0), std::nextafter(upper, 0.0));
    const double cell = std::floor(clamped);
    const double f = clamped - cell, g = 1 - f;
    s.first = static_cast<int>(cell) - 1;
    s.w[0] = g * g * g / 6;
    s.w[1] = (3 * f * f * f - 6 * f * f + 4) / 6;
    s.w[2] = (-3 * f * f * f + 3 * f * f + 3 * f + 1) / 6;
    s.w[3] = f * f * f / 6;
    if (inside) {
        s.d[0] = -g * g / 2;
        s.d[1] = (3 * f * f - 4 * f) / 2;
        s.d[2] = (-3 * f * f + 2 * f + 1) / 2;
        s.d[3] = f * f / 2;
    }
    return s;
}

}  // namespace pairfit
