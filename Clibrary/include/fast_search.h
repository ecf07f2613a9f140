#pragma once
// Scores search candidates exactly as Match::evaluate_candidate does, without
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

class Match;

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
    /// The scorer for the current pass of `match`, or nullptr when the pass
    /// cannot use it (rotation, or pixel values other than 0, 127 and 255).
    static std::unique_ptr<FastScorer> create(const Match& match);

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

    Column column(double shift_x, int scale_index) const;

private:
    explicit FastScorer(const Match& match);

    const Match& match_;
    double theta_, s_, t_x_, t_y_;
    int rows_, cols_;
    PackedImage reference_;  // the reduced reference
    PackedImage camera_;     // the camera crop every candidate is compared with
    bool representable_ = true;
};
