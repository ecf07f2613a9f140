#pragma once
// cv::warpAffine with INTER_NEAREST, reproduced to the bit, so that the fast
// search and the cropped final warp pick exactly the pixels OpenCV
// would pick.
//
// OpenCV inverts the forward map, then for output pixel (x, y) takes
//   X = (round((m1*y + m2) * 1024) + 512 + round(m0*x * 1024)) >> 10
//   Y = (round((m4*y + m5) * 1024) + 512 + round(m3*x * 1024)) >> 10
// each saturated to 16 bits, and reads source pixel (X, Y) when it lies
// inside the source, the border value otherwise.

#include <climits>
#include <cstdint>

#include <opencv2/core.hpp>

namespace pairfit::detail {

/// The six coefficients of a similarity in the order cv::warpAffine reads a
/// 2x3 matrix, computed exactly as SimMat builds its matrix.
void similarity_coefficients(double theta, double s, double t_x, double t_y, double out[6]);

/// cvRound: nearest integer, ties to even; INT_MIN when out of range.
inline int round_like_opencv(double value) {
    // Outside the int range the x86 conversion yields INT_MIN, as does NaN.
    if (!(value > -2147483648.5 && value < 2147483647.5)) return INT_MIN;
    // Adding and removing 1.5 * 2^52 rounds to the nearest integer, ties to
    // even, in the default rounding mode, like the conversion instruction,
    // and costs no library call.
    // Inside the range tested above the result always fits an int.
    const double magic = 6755399441055744.0;
    return static_cast<int>((value + magic) - magic);
}

class NearestWarp {
public:
    /// `forward` maps source to output, as cv::warpAffine takes it without
    /// WARP_INVERSE_MAP (six doubles, row by row).
    explicit NearestWarp(const double forward[6]);
    explicit NearestWarp(const cv::Mat& forward);

    /// True when source columns depend on output columns only and source rows
    /// on output rows only: the map has no rotation.
    bool separable() const { return m_[1] == 0.0 && m_[3] == 0.0; }

    /// The inverse map as OpenCV holds it: source x = m0*x + m1*y + m2,
    /// source y = m3*x + m4*y + m5.
    const double* inverse() const { return m_; }

    /// Fixed-point parts: source x of (x, y) is combine(row_base_x(y), column_delta_x(x)).
    int row_base_x(int y) const { return wrapping_add(round_like_opencv((m_[1] * y + m_[2]) * kScale), kHalf); }
    int row_base_y(int y) const { return wrapping_add(round_like_opencv((m_[4] * y + m_[5]) * kScale), kHalf); }
    int column_delta_x(int x) const { return round_like_opencv(m_[0] * x * kScale); }
    int column_delta_y(int x) const { return round_like_opencv(m_[3] * x * kScale); }

    /// (base + delta) >> 10, saturated to 16 bits as OpenCV stores it.
    static int combine(int base, int delta) {
        const int v = wrapping_add(base, delta) >> kBits;
        return v < SHRT_MIN ? SHRT_MIN : (v > SHRT_MAX ? SHRT_MAX : v);
    }

    /// Source column of output pixel (x, y), or -1 outside a source of `cols` columns.
    int source_x(int x, int y, int cols) const {
        return inside_or_minus_one(combine(row_base_x(y), column_delta_x(x)), cols);
    }
    /// Source row of output pixel (x, y), or -1 outside a source of `rows` rows.
    int source_y(int x, int y, int rows) const {
        return inside_or_minus_one(combine(row_base_y(y), column_delta_y(x)), rows);
    }

    static constexpr int kBits = 10;          // fixed-point fraction bits of OpenCV
    static constexpr int kScale = 1 << kBits;
    static constexpr int kHalf = kScale / 2;  // nearest neighbour rounds to the closest pixel

private:
    // OpenCV adds in 32-bit lanes that wrap; so do we, without undefined behaviour.
    static int wrapping_add(int a, int b) {
        return static_cast<int>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
    }
    static int inside_or_minus_one(int v, int limit) {
        return static_cast<unsigned>(v) < static_cast<unsigned>(limit) ? v : -1;
    }

    double m_[6];  // the inverse map
};

}  // namespace pairfit::detail
