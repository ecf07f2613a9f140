#pragma once
// Scores search candidates exactly as the search's straightforward
// evaluation does (warp the reference, mask, difference ratio), without
// making images per candidate.
//
// Without rotation the nearest-neighbour warp is separable: output column x
// reads one source column and output row y one source row. For one x shift
// and scale offset the reference is gathered once through its column table
// into packed bits (has data, is white); each y shift is then a row table,
// and the ratio's two counts are population counts of ANDs and XORs with the
// packed camera crop. This needs images whose pixels are 0, 127 or 255.

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "SimMat.h"

namespace pairfit::detail {

/// Two bits per pixel, kept as two bit rows per image row: first the words
/// of "has data" (not 127), then those of "is white" (255). Bit x of a bit
/// row sits in word x / 64 at bit x % 64.
struct PackedImage {
    int rows = 0;
    int words = 0;  // per bit row
    std::vector<std::uint64_t> bits;

    PackedImage() = default;
    PackedImage(int rows_, int cols);
    std::uint64_t* data(int y) { return bits.data() + static_cast<std::size_t>(y) * 2 * words; }
    const std::uint64_t* data(int y) const { return bits.data() + static_cast<std::size_t>(y) * 2 * words; }
    std::uint64_t* white(int y) { return data(y) + words; }
};

class FastScorer {
public:
    /// The scorer of a search pass that refines `transform` by the
    /// `scale_count` offsets at `scale_offsets` (in search order) and by
    /// shifts, comparing the reduced binary `reference` with the reduced
    /// `camera` image; nullptr when the pass cannot use it (rotation, or pixel
    /// values other than 0, 127 and 255). It keeps copies of what it needs:
    /// a later change to the transform is not seen.
    static std::unique_ptr<FastScorer> create(const SimMat& transform, const double* scale_offsets,
                                              int scale_count, const cv::Mat& reference,
                                              const cv::Mat& camera);

    /// The reference gathered for one x shift and scale offset.
    class Column {
    public:
        /// The ratio of candidate (shift_x, scale offset, shift_y).
        double ratio(double shift_y) const;

    private:
        friend class FastScorer;
        const FastScorer* owner_ = nullptr;
        double forward_[6] = {};            // the candidates' map but for t_y, computed once
        std::vector<double> row_products_;  // m4 * y of the inverse map, the same for all t_y
        PackedImage gathered_;              // the reference as this column's warp reads it
    };

    /// The candidates of one x shift and the scale offset `scale_index`.
    Column column(double shift_x, int scale_index) const;

private:
    FastScorer(const SimMat& transform, const double* scale_offsets, int scale_count,
               const cv::Mat& reference, const cv::Mat& camera);

    double theta_, s_, t_x_, t_y_;
    std::vector<double> scale_offsets_;
    int rows_, cols_;
    PackedImage reference_;  // the reduced reference
    PackedImage camera_;     // the camera crop every candidate is compared with
    bool representable_ = true;
};

}  // namespace pairfit::detail
