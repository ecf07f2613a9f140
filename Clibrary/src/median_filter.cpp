#include "median_filter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <opencv2/core.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pairfit/interruption.h"
#include "prepare.h"

namespace pairfit::detail {

// The median of each square window is found in two steps on 16-bin
// histograms: the coarse bin (the upper four bits) from the window's coarse
// histogram, then the value from the fine histogram of that bin alone. Both
// window histograms slide along a row by adding the column histogram that
// enters and subtracting the one that leaves, and the column histograms
// slide down the image by one pixel each: the work per pixel does not grow
// with the window (the constant-time median of Perreault and Hebert).
// Integer counts make the result exactly the window's median, whatever
// instructions the compiler picks.

namespace {

constexpr int kBins = 16;
// Columns per stripe: the column histograms of a stripe stay in the
// second-level cache.
constexpr int kStripeColumns = 384;

using Counts = uint16_t;  // a 181x181 window holds 32761 pixels

struct alignas(32) Bins16 {
    Counts n[kBins];
};

inline void add_bins(Bins16& to, const Bins16& a) {
    for (int k = 0; k < kBins; ++k) to.n[k] = static_cast<Counts>(to.n[k] + a.n[k]);
}

inline void slide_bins(Bins16& to, const Bins16& enter, const Bins16& leave) {
    for (int k = 0; k < kBins; ++k) to.n[k] = static_cast<Counts>(to.n[k] + enter.n[k] - leave.n[k]);
}

// The bin holding the element of 0-based `rank`, and how many elements of
// lower bins come before it. Branch-free: the bin is the number of running
// sums that do not pass `rank`.
#if defined(__SSE2__)
inline __m128i running_sums(__m128i v) {
    v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
    v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
    return _mm_add_epi16(v, _mm_slli_si128(v, 8));
}

inline int bin_of_rank(const Bins16& h, int rank, int& below) {
    const __m128i lo = running_sums(_mm_load_si128(reinterpret_cast<const __m128i*>(h.n)));
    const __m128i lo_total = _mm_unpackhi_epi64(_mm_shufflehi_epi16(lo, 0xFF), _mm_shufflehi_epi16(lo, 0xFF));
    const __m128i hi = _mm_add_epi16(running_sums(_mm_load_si128(reinterpret_cast<const __m128i*>(h.n + 8))), lo_total);
    // Unsigned comparison through the signed one, both sides offset by 2^15.
    const __m128i offset = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i limit = _mm_set1_epi16(static_cast<short>(rank ^ 0x8000));
    const __m128i past_lo = _mm_cmpgt_epi16(_mm_xor_si128(lo, offset), limit);
    const __m128i past_hi = _mm_cmpgt_epi16(_mm_xor_si128(hi, offset), limit);
    const int past = _mm_movemask_epi8(_mm_packs_epi16(past_lo, past_hi));
    const int bin = __builtin_ctz(static_cast<unsigned>(past) | 0x8000u);
    alignas(16) Counts sums[kBins];
    _mm_store_si128(reinterpret_cast<__m128i*>(sums), lo);
    _mm_store_si128(reinterpret_cast<__m128i*>(sums + 8), hi);
    below = bin == 0 ? 0 : sums[bin - 1];
    return bin;
}
#else
inline int bin_of_rank(const Bins16& h, int rank, int& below) {
    int sum = 0;
    int bin = 0;
    int before = 0;
    for (int k = 0; k < kBins; ++k) {
        sum += h.n[k];
        const bool passed = sum <= rank;
        bin += passed;
        if (passed) before = sum;
    }
    below = before;
    return std::min(bin, kBins - 1);
}
#endif

// Column histograms of one stripe: `coarse[c]` counts the upper four bits of
// the window's column c, `fine[c * 16 + b]` the lower four bits of its
// values in coarse bin b.
struct ColumnHistograms {
    std::vector<Bins16> coarse;
    std::vector<Bins16> fine;

    explicit ColumnHistograms(int columns) : coarse(columns), fine(static_cast<size_t>(columns) * kBins) {}

    void count(int c, int v, int delta) {
        coarse[c].n[v >> 4] = static_cast<Counts>(coarse[c].n[v >> 4] + delta);
        Bins16& f = fine[static_cast<size_t>(c) * kBins + (v >> 4)];
        f.n[v & 15] = static_cast<Counts>(f.n[v & 15] + delta);
    }

    void add_row(const uchar* values, int columns) {
        for (int c = 0; c < columns; ++c) count(c, values[c], +1);
    }

    void replace_row(const uchar* leaving, const uchar* entering, int columns) {
        for (int c = 0; c < columns; ++c) {
            count(c, leaving[c], -1);
            count(c, entering[c], +1);
        }
    }
};

// The window histograms of one row sweep. The fine histogram of a coarse
// bin is brought up to date only when the median falls in that bin, by
// sliding it from where it was last used (or rebuilding it when that is
// further than a window away).
class RowSweep {
public:
    RowSweep(const ColumnHistograms& columns, int radius) : cols_(columns), size_(2 * radius + 1) {}

    // Output column x has its window on column histograms [x, x + size).
    void run(int width, uchar* out) {
        Bins16 coarse{};
        for (int c = 0; c < size_; ++c) add_bins(coarse, cols_.coarse[c]);
        std::fill(std::begin(last_), std::end(last_), -size_ - 1);
        const int rank = size_ * size_ / 2;
        for (int x = 0; x < width; ++x) {
            if (x > 0) slide_bins(coarse, cols_.coarse[x + size_ - 1], cols_.coarse[x - 1]);
            int below = 0;
            const int b = bin_of_rank(coarse, rank, below);
            const Bins16& fine = fine_at(b, x);
            int unused = 0;
            out[x] = static_cast<uchar>(b * kBins + bin_of_rank(fine, rank - below, unused));
        }
    }

private:
    const Bins16& fine_column(int c, int b) const { return cols_.fine[static_cast<size_t>(c) * kBins + b]; }

    const Bins16& fine_at(int b, int x) {
        Bins16& h = fine_[b];
        if (x - last_[b] > size_) {
            h = Bins16{};
            for (int c = x; c < x + size_; ++c) add_bins(h, fine_column(c, b));
        } else {
            for (int s = last_[b] + 1; s <= x; ++s) slide_bins(h, fine_column(s + size_ - 1, b), fine_column(s - 1, b));
        }
        last_[b] = x;
        return h;
    }

    const ColumnHistograms& cols_;
    const int size_;
    Bins16 fine_[kBins]{};
    int last_[kBins]{};
};

// The sweep is built twice where the compiler can: for processors with AVX2
// (one register per histogram) and for any x86-64; the loader picks one.
// Counting is integer arithmetic, so both give the same image.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define PAIRFIT_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define PAIRFIT_WIDE_VECTORS
#endif

// Rows [first, end) of the median of `padded` (the source with `radius`
// replicated columns on each side) for output columns [x0, x0 + width).
PAIRFIT_WIDE_VECTORS void median_stripe(const cv::Mat& padded, int radius, int first, int end, int x0, int width,
                   cv::Mat& dst) {
    const int columns = width + 2 * radius;
    const int last_row = padded.rows - 1;
    auto row = [&](int y) { return padded.ptr<uchar>(std::clamp(y, 0, last_row)) + x0; };
    ColumnHistograms hist(columns);
    for (int y = first - radius; y <= first + radius; ++y) hist.add_row(row(y), columns);
    RowSweep sweep(hist, radius);
    for (int y = first; y < end; ++y) {
        pairfit::interruption_point();
        if (y > first) {
            hist.replace_row(row(y - radius - 1), row(y + radius), columns);
        }
        sweep.run(width, dst.ptr<uchar>(y) + x0);
    }
}

}  // namespace

cv::Mat median_of_padded(const cv::Mat& padded, int ksize, int bands) {
    CV_Assert(padded.type() == CV_8UC1 && ksize % 2 == 1 && ksize >= 3 && ksize <= 181 &&
              padded.cols > ksize - 1);
    const int radius = ksize / 2;
    cv::Mat dst(padded.rows, padded.cols - 2 * radius, CV_8UC1);
    for_each_band(dst.rows, bands, [&](int first, int end) {
        for (int x0 = 0; x0 < dst.cols; x0 += kStripeColumns) {
            median_stripe(padded, radius, first, end, x0, std::min(kStripeColumns, dst.cols - x0), dst);
        }
    });
    return dst;
}

cv::Mat median_filter(const cv::Mat& src, int ksize, int bands) {
    cv::Mat padded;
    cv::copyMakeBorder(src, padded, 0, 0, ksize / 2, ksize / 2, cv::BORDER_REPLICATE);
    return median_of_padded(padded, ksize, bands);
}

}  // namespace pairfit::detail
