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

/// One-bit-per-pixel rows: bit x of row y sits in word x / 64 at bit x % 64.
struct PackedPlane {
    int rows = 0;
    int words = 0;
    std::vector<std::uint64_t> bits;
    std::uint64_t* row(int y) { return bits.data() + static_cast<std::size_t>(y) * words; }
    const std::uint64_t* row(int y) const { return bits.data() + static_cast<std::size_t>(y) * words; }
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
        double forward_[6] = {};  // the candidates' map but for t_y, computed once
        // A column belongs to the one worker that made it, so it keeps its
        // row table here instead of allocating one per candidate.
        mutable std::vector<int> source_row_;
        PackedPlane data_;   // gathered source pixel is not 127 (and the column maps inside)
        PackedPlane white_;  // gathered source pixel is 255
    };

    Column column(double shift_x, int scale_index) const;

private:
    explicit FastScorer(const Match& match);

    const Match& match_;
    double theta_, s_, t_x_, t_y_;
    int rows_, cols_;
    PackedPlane ref_data_, ref_white_;  // the reduced reference
    PackedPlane cam_data_, cam_white_;  // the camera crop
    bool representable_ = true;         // only 0, 127 and 255 in both images
};
