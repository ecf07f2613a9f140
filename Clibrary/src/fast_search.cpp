#include "fast_search.h"

#include <algorithm>

#include "dif_ratio.h"
#include "nearest_warp.h"
#include "pairfit/core.h"

namespace pairfit::detail {

namespace {

const int kWhite = 255;

// The camera crop that every candidate is compared with, exactly as the
// straightforward evaluation cuts it.
cv::Mat camera_crop(const cv::Mat& cam, const cv::Mat& img) {
    if (cam.cols > img.cols || cam.rows > img.rows) {
        return cam(cv::Rect((cam.cols - img.cols) / 2, (cam.rows - img.rows) / 2, img.cols, img.rows));
    }
    return cam;
}

// Per grey level: bit 0 "has data", bit 1 "is white", bit 2 "cannot be packed".
struct PixelCodes {
    std::uint8_t code[256];
    PixelCodes() {
        for (int v = 0; v < 256; ++v) {
            code[v] = static_cast<std::uint8_t>((v != kNoData ? 1 : 0) | (v == kWhite ? 2 : 0) |
                                                (v != 0 && v != kNoData && v != kWhite ? 4 : 0));
        }
    }
};

// Packs an image; false when a pixel is neither black, white nor no-data,
// which two bits could not represent.
bool pack(const cv::Mat& image, PackedImage& packed) {
    static const PixelCodes codes;
    std::uint64_t unpackable = 0;
    for (int y = 0; y < image.rows; ++y) {
        const uchar* p = image.ptr<uchar>(y);
        std::uint64_t* data = packed.data(y);
        std::uint64_t* white = packed.white(y);
        for (int k = 0; k * 64 < image.cols; ++k) {
            const int begin = k * 64;
            const int end = std::min(image.cols, begin + 64);
            std::uint64_t has_data = 0;
            std::uint64_t is_white = 0;
            for (int x = begin; x < end; ++x) {
                const std::uint64_t c = codes.code[p[x]];
                has_data |= (c & 1) << (x - begin);
                is_white |= ((c >> 1) & 1) << (x - begin);
                unpackable |= c >> 2;
            }
            data[k] = has_data;
            white[k] = is_white;
        }
    }
    return unpackable == 0;
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

// ORs `length` bits of both bit rows of a source row from bit `from` into
// both bit rows of a destination row from bit `to`.
inline void copy_run(std::uint64_t* dst, const std::uint64_t* src, int words, int to, int from,
                     int length) {
    while (length > 0) {
        const int n = std::min(length, 64 - (to & 63));
        dst[to >> 6] |= extract_bits(src, from, n) << (to & 63);
        dst[words + (to >> 6)] |= extract_bits(src + words, from, n) << (to & 63);
        to += n;
        from += n;
        length -= n;
    }
}

struct Counts {
    int roi_num = 0;
    int dif_num = 0;
};

// Row index of output row y: OpenCV's (round((m4*y + m5) * 1024) + 512
// + delta) >> 10, with m4*y taken from `row_products`. When the first and
// last rows stay within +-2^25 (the sequence is monotonic) nothing can wrap
// or saturate, and the plain arithmetic below equals OpenCV's.
inline bool rows_need_no_saturation(const double* row_products, int rows, double m5) {
    const double limit = 33554432.0;  // 2^25: 32767 * 1024 with room for the additions
    const double first = (row_products[0] + m5) * NearestWarp::kScale;
    const double last = (row_products[rows - 1] + m5) * NearestWarp::kScale;
    return first > -limit && first < limit && last > -limit && last < limit;
}

// Counts over one candidate, with the row length known at compile time so
// that the word loop unrolls; always inlined into its caller below.
template <int kWords>
__attribute__((always_inline)) inline Counts count_of(const NearestWarp& warp,
                                                      const double* row_products, int rows,
                                                      int words, const PackedImage& gathered,
                                                      const PackedImage& camera) {
    const int n = kWords > 0 ? kWords : words;
    // Without rotation the column part of the row index is the same everywhere.
    const int delta = warp.column_delta_y(0);
    const double m5 = warp.inverse()[5];
    const bool plain = rows_need_no_saturation(row_products, rows, m5) && delta == 0;
    const double magic = 6755399441055744.0;  // see round_like_opencv
    Counts counts;
    for (int y = 0; y < rows; ++y) {
        const int r = plain ? (static_cast<int>(((row_products[y] + m5) * NearestWarp::kScale + magic) - magic) +
                               NearestWarp::kHalf) >> NearestWarp::kBits
                            : NearestWarp::combine(warp.row_base_y(y), delta);
        if (static_cast<unsigned>(r) >= static_cast<unsigned>(rows)) continue;  // row outside
        const std::uint64_t* g = gathered.data(r);
        const std::uint64_t* c = camera.data(y);
        for (int k = 0; k < n; ++k) {
            const std::uint64_t both = g[k] & c[k];
            counts.roi_num += __builtin_popcountll(both);
            counts.dif_num += __builtin_popcountll((g[n + k] ^ c[n + k]) & both);
        }
    }
    return counts;
}

// The word loop unrolled for the row lengths of the two passes and a few more.
__attribute__((always_inline)) inline Counts count_by_row_length(const NearestWarp& warp,
                                                                 const double* row_products,
                                                                 int rows, const PackedImage& gathered,
                                                                 const PackedImage& camera) {
    const int words = gathered.words;
    switch (words) {
        case 1: return count_of<1>(warp, row_products, rows, words, gathered, camera);
        case 2: return count_of<2>(warp, row_products, rows, words, gathered, camera);
        case 3: return count_of<3>(warp, row_products, rows, words, gathered, camera);
        case 4: return count_of<4>(warp, row_products, rows, words, gathered, camera);
        case 5: return count_of<5>(warp, row_products, rows, words, gathered, camera);
        default: return count_of<0>(warp, row_products, rows, words, gathered, camera);
    }
}

Counts count_candidate_portable(const NearestWarp& warp, const double* row_products, int rows,
                                const PackedImage& gathered, const PackedImage& camera) {
    return count_by_row_length(warp, row_products, rows, gathered, camera);
}

#if defined(__x86_64__) || defined(__i386__)
// The same counts with the popcount instruction, for processors that have it.
__attribute__((target("popcnt")))
Counts count_candidate_popcnt(const NearestWarp& warp, const double* row_products, int rows,
                              const PackedImage& gathered, const PackedImage& camera) {
    return count_by_row_length(warp, row_products, rows, gathered, camera);
}
#endif

// Picked once at run time rather than through an ifunc resolver, which runs
// before sanitizer runtimes are ready. The counts are the same either way.
Counts count_candidate(const NearestWarp& warp, const double* row_products, int rows,
                       const PackedImage& gathered, const PackedImage& camera) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has_popcnt = __builtin_cpu_supports("popcnt");
    if (has_popcnt) return count_candidate_popcnt(warp, row_products, rows, gathered, camera);
#endif
    return count_candidate_portable(warp, row_products, rows, gathered, camera);
}

}  // namespace

PackedImage::PackedImage(int rows_, int cols)
    : rows(rows_), words((cols + 63) / 64), bits(static_cast<std::size_t>(rows_) * 2 * words, 0) {}

std::unique_ptr<FastScorer> FastScorer::create(const SimMat& transform, const double* scale_offsets,
                                               int scale_count, const cv::Mat& reference,
                                               const cv::Mat& camera) {
    double coefficients[6];
    similarity_coefficients(transform.theta + 0.0, transform.s, transform.t_x, transform.t_y,
                            coefficients);
    if (!NearestWarp(coefficients).separable()) return nullptr;
    std::unique_ptr<FastScorer> scorer(
        new FastScorer(transform, scale_offsets, scale_count, reference, camera));
    return scorer->representable_ ? std::move(scorer) : nullptr;
}

FastScorer::FastScorer(const SimMat& transform, const double* scale_offsets, int scale_count,
                       const cv::Mat& reference, const cv::Mat& camera)
    : theta_(transform.theta),
      s_(transform.s),
      t_x_(transform.t_x),
      t_y_(transform.t_y),
      scale_offsets_(scale_offsets, scale_offsets + scale_count),
      rows_(reference.rows),
      cols_(reference.cols),
      reference_(rows_, cols_),
      camera_(rows_, cols_) {
    const bool reference_ok = pack(reference, reference_);
    const bool camera_ok = pack(camera_crop(camera, reference), camera_);
    representable_ = reference_ok && camera_ok;
}

FastScorer::Column FastScorer::column(double shift_x, int scale_index) const {
    Column column;
    column.owner_ = this;
    // The numbers Matrix_Sim_Modification builds for this column's candidates.
    similarity_coefficients(theta_ + 0.0, s_ + scale_offsets_[scale_index], t_x_ + shift_x,
                            t_y_, column.forward_);
    const NearestWarp warp(column.forward_);

    // Without rotation the source column does not depend on the row or on t_y,
    // and near scale 1 it advances by one column at a time: the gathered row
    // is a few runs of consecutive source bits.
    std::vector<int> source_column(cols_);
    for (int x = 0; x < cols_; ++x) source_column[x] = warp.source_x(x, 0, cols_);
    const std::vector<BitRun> runs = runs_of(source_column);
    column.row_products_.resize(rows_);
    for (int y = 0; y < rows_; ++y) column.row_products_[y] = warp.inverse()[4] * y;

    column.gathered_ = PackedImage(rows_, cols_);
    const int words = reference_.words;
    for (int r = 0; r < rows_; ++r) {
        std::uint64_t* dst = column.gathered_.data(r);
        const std::uint64_t* src = reference_.data(r);
        for (const BitRun& run : runs) copy_run(dst, src, words, run.to, run.from, run.length);
    }
    return column;
}

double FastScorer::Column::ratio(double shift_y) const {
    const FastScorer& f = *owner_;
    // Only t_y differs between the candidates of a column.
    double forward[6];
    for (int k = 0; k < 5; ++k) forward[k] = forward_[k];
    forward[5] = f.t_y_ + shift_y;
    const Counts counts =
        count_candidate(NearestWarp(forward), row_products_.data(), f.rows_, gathered_, f.camera_);
    return ratio_from_counts(counts.dif_num, counts.roi_num, f.rows_, f.cols_);
}

}  // namespace pairfit::detail
