#include "fast_search.h"

#include <algorithm>

#include "Match.h"
#include "nearest_warp.h"

namespace {

const uchar kNoData = 127;
const uchar kWhite = 255;

PackedPlane empty_plane(int rows, int cols) {
    PackedPlane plane;
    plane.rows = rows;
    plane.words = (cols + 63) / 64;
    plane.bits.assign(static_cast<std::size_t>(rows) * plane.words, 0);
    return plane;
}

// The camera crop that every candidate is compared with, exactly as the
// straightforward evaluation cuts it.
cv::Mat camera_crop(const cv::Mat& cam, const cv::Mat& img) {
    if (cam.cols > img.cols || cam.rows > img.rows) {
        return cam(cv::Rect((cam.cols - img.cols) / 2, (cam.rows - img.rows) / 2, img.cols, img.rows));
    }
    return cam;
}

// Splits an image into "has data" and "is white" bits; false when a pixel
// is neither black, white nor no-data, which the bits could not represent.
bool pack(const cv::Mat& image, PackedPlane& data, PackedPlane& white) {
    bool representable = true;
    for (int y = 0; y < image.rows; ++y) {
        const uchar* p = image.ptr<uchar>(y);
        std::uint64_t* d = data.row(y);
        std::uint64_t* w = white.row(y);
        for (int k = 0; k * 64 < image.cols; ++k) {
            const int begin = k * 64;
            const int end = std::min(image.cols, begin + 64);
            std::uint64_t has_data = 0;
            std::uint64_t is_white = 0;
            for (int x = begin; x < end; ++x) {
                const uchar v = p[x];
                has_data |= static_cast<std::uint64_t>(v != kNoData) << (x - begin);
                is_white |= static_cast<std::uint64_t>(v == kWhite) << (x - begin);
                representable &= (v == 0) | (v == kNoData) | (v == kWhite);
            }
            d[k] = has_data;
            w[k] = is_white;
        }
    }
    return representable;
}

// Output bits [to, to + length) come from source bits [from, from + length).
struct BitRun {
    int to, from, length;
};

// Maximal stretches where consecutive outputs read consecutive source columns;
// outputs that map outside the source (-1) belong to no run and stay 0.
std::vector<BitRun> runs_of(const std::vector<int>& source_column) {
    std::vector<BitRun> runs;
    const int n = static_cast<int>(source_column.size());
    for (int x = 0; x < n;) {
        if (source_column[x] < 0) {
            ++x;
            continue;
        }
        int end = x + 1;
        while (end < n && source_column[end] == source_column[end - 1] + 1) ++end;
        runs.push_back({x, source_column[x], end - x});
        x = end;
    }
    return runs;
}

// Up to 64 bits of `src` from bit `pos` on, in the low bits of the result.
inline std::uint64_t extract_bits(const std::uint64_t* src, int pos, int n) {
    const int word = pos >> 6;
    const int offset = pos & 63;
    std::uint64_t v = src[word] >> offset;
    if (offset + n > 64) v |= src[word + 1] << (64 - offset);
    return n == 64 ? v : v & ((std::uint64_t{1} << n) - 1);
}

// ORs `length` bits of both source planes from bit `from` into both
// destination planes from bit `to`.
inline void copy_run(std::uint64_t* dst_a, std::uint64_t* dst_b, const std::uint64_t* src_a,
                     const std::uint64_t* src_b, int to, int from, int length) {
    while (length > 0) {
        const int n = std::min(length, 64 - (to & 63));
        dst_a[to >> 6] |= extract_bits(src_a, from, n) << (to & 63);
        dst_b[to >> 6] |= extract_bits(src_b, from, n) << (to & 63);
        to += n;
        from += n;
        length -= n;
    }
}

// Counts over one candidate with the row length known at compile time, so
// that the word loop unrolls; always inlined into its caller below.
template <int kWords>
__attribute__((always_inline)) inline void count_rows_of(
    const int* source_row, int rows, int words, const PackedPlane& data, const PackedPlane& white,
    const PackedPlane& cam_data, const PackedPlane& cam_white, int& roi_num, int& dif_num) {
    const int n = kWords > 0 ? kWords : words;
    int roi = 0;
    int dif = 0;
    for (int y = 0; y < rows; ++y) {
        const int r = source_row[y];
        if (r < 0) continue;  // the whole row is outside the reference
        const std::uint64_t* d = data.row(r);
        const std::uint64_t* w = white.row(r);
        const std::uint64_t* cd = cam_data.row(y);
        const std::uint64_t* cw = cam_white.row(y);
        for (int k = 0; k < n; ++k) {
            const std::uint64_t both = d[k] & cd[k];
            roi += __builtin_popcountll(both);
            dif += __builtin_popcountll((w[k] ^ cw[k]) & both);
        }
    }
    roi_num = roi;
    dif_num = dif;
}

// Compiled twice, with and without the popcount instruction, and picked at
// load time: the counts are the same either way.
__attribute__((target_clones("popcnt", "default")))
void count_rows(const int* source_row, int rows, int words, const PackedPlane& data,
                const PackedPlane& white, const PackedPlane& cam_data,
                const PackedPlane& cam_white, int& roi_num, int& dif_num) {
    switch (words) {
        case 1: return count_rows_of<1>(source_row, rows, words, data, white, cam_data, cam_white, roi_num, dif_num);
        case 2: return count_rows_of<2>(source_row, rows, words, data, white, cam_data, cam_white, roi_num, dif_num);
        case 3: return count_rows_of<3>(source_row, rows, words, data, white, cam_data, cam_white, roi_num, dif_num);
        case 4: return count_rows_of<4>(source_row, rows, words, data, white, cam_data, cam_white, roi_num, dif_num);
        case 5: return count_rows_of<5>(source_row, rows, words, data, white, cam_data, cam_white, roi_num, dif_num);
        default: return count_rows_of<0>(source_row, rows, words, data, white, cam_data, cam_white, roi_num, dif_num);
    }
}

}  // namespace

std::unique_ptr<FastScorer> FastScorer::create(const Match& match) {
    const SimMat& sim = *match.Sim_Mat;
    double coefficients[6];
    similarity_coefficients(sim.theta + 0.0, sim.s, sim.t_x, sim.t_y, coefficients);
    if (!NearestWarp(coefficients).separable()) return nullptr;
    std::unique_ptr<FastScorer> scorer(new FastScorer(match));
    return scorer->representable_ ? std::move(scorer) : nullptr;
}

FastScorer::FastScorer(const Match& match)
    : match_(match),
      theta_(match.Sim_Mat->theta),
      s_(match.Sim_Mat->s),
      t_x_(match.Sim_Mat->t_x),
      t_y_(match.Sim_Mat->t_y),
      rows_(match.img_scaled.rows),
      cols_(match.img_scaled.cols) {
    ref_data_ = empty_plane(rows_, cols_);
    ref_white_ = empty_plane(rows_, cols_);
    cam_data_ = empty_plane(rows_, cols_);
    cam_white_ = empty_plane(rows_, cols_);
    const bool reference_ok = pack(match.img_scaled, ref_data_, ref_white_);
    const bool camera_ok = pack(camera_crop(match.cam_scaled, match.img_scaled), cam_data_, cam_white_);
    representable_ = reference_ok && camera_ok;
}

FastScorer::Column FastScorer::column(double shift_x, int scale_index) const {
    Column column;
    column.owner_ = this;
    similarity_coefficients(theta_ + 0.0, s_ + match_.scale_range[scale_index], t_x_ + shift_x,
                            t_y_, column.forward_);
    const NearestWarp warp(column.forward_);
    column.source_row_.resize(rows_);

    // Without rotation the source column does not depend on the row or on t_y,
    // and near scale 1 it advances by one column at a time: the gathered row
    // is a few runs of consecutive source bits.
    std::vector<int> source_column(cols_);
    for (int x = 0; x < cols_; ++x) source_column[x] = warp.source_x(x, 0, cols_);
    const std::vector<BitRun> runs = runs_of(source_column);

    column.data_ = empty_plane(rows_, cols_);
    column.white_ = empty_plane(rows_, cols_);
    for (int r = 0; r < rows_; ++r) {
        for (const BitRun& run : runs) {
            copy_run(column.data_.row(r), column.white_.row(r), ref_data_.row(r), ref_white_.row(r),
                     run.to, run.from, run.length);
        }
    }
    return column;
}

double FastScorer::Column::ratio(double shift_y) const {
    const FastScorer& f = *owner_;
    // The same six numbers Matrix_Sim_Modification would build: only t_y
    // differs between the candidates of a column.
    double forward[6];
    for (int k = 0; k < 5; ++k) forward[k] = forward_[k];
    forward[5] = f.t_y_ + shift_y;
    const NearestWarp warp(forward);
    int* source_row = source_row_.data();
    const int delta = warp.column_delta_y(0);  // the same for every column without rotation
    const unsigned rows = static_cast<unsigned>(f.rows_);
    for (int y = 0; y < f.rows_; ++y) {
        const int r = NearestWarp::combine(warp.row_base_y(y), delta);
        source_row[y] = static_cast<unsigned>(r) < rows ? r : -1;
    }
    int roi_num = 0;
    int dif_num = 0;
    count_rows(source_row, f.rows_, data_.words, data_, white_, f.cam_data_, f.cam_white_,
               roi_num, dif_num);
    return ratio_from_counts(dif_num, roi_num, f.rows_, f.cols_);
}
