#include "binary_morphology.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pairfit/interruption.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pairfit::detail {

// A binary image as bits, 64 pixels a word, bit x % 64 of word x / 64 of a
// row holding pixel x. A rectangle's erosion (dilation) is the AND (OR) over
// a window, first along rows and then along columns; a window of k is built
// from windows of 1, 2, 4, ... so that a pass costs about log2(k) word
// operations per 64 pixels. Pixels outside the image take no part, as
// OpenCV's default border for erosion and dilation does.

namespace {

using Word = uint64_t;
constexpr int kWordBits = 64;

// A row of words costs well under a microsecond: an interruption point (a
// clock read) every this many keeps its cost out of sight.
constexpr int kRowsPerPoint = 64;

enum class Op { and_, or_ };

inline Word combine(Op op, Word a, Word b) { return op == Op::and_ ? (a & b) : (a | b); }
inline Word neutral(Op op) { return op == Op::and_ ? ~Word(0) : Word(0); }

// Bit i of the result is bit i + s of `v` (neutral beyond its end).
void read_shifted(const std::vector<Word>& v, int s, Word fill, std::vector<Word>& out) {
    const int n = static_cast<int>(v.size());
    const int q = s / kWordBits;
    const int r = s % kWordBits;
    const Word* in = v.data();
    int i = 0;
    if (r == 0) {
        for (; i + q < n; ++i) out[i] = in[i + q];
    } else {
        for (; i + q + 1 < n; ++i) out[i] = (in[i + q] >> r) | (in[i + q + 1] << (kWordBits - r));
        if (i + q < n) {
            out[i] = (in[i + q] >> r) | (fill << (kWordBits - r));
            ++i;
        }
    }
    for (; i < n; ++i) out[i] = fill;
}

// Bit i of `result` is `op` over bits [i, i + k) of `span`, which is
// overwritten; `shifted` is room of the same size.
void forward_window(std::vector<Word>& span, int k, Op op, std::vector<Word>& result,
                    std::vector<Word>& shifted) {
    const Word fill = neutral(op);
    std::fill(result.begin(), result.end(), fill);
    int offset = 0;
    for (int width = 1; width <= k; width *= 2) {
        if (k & width) {
            read_shifted(span, offset, fill, shifted);
            for (size_t i = 0; i < span.size(); ++i) result[i] = combine(op, result[i], shifted[i]);
            offset += width;
        }
        if (width * 2 <= k) {
            read_shifted(span, width, fill, shifted);
            for (size_t i = 0; i < span.size(); ++i) span[i] = combine(op, span[i], shifted[i]);
        }
    }
}

class BitImage {
public:
    BitImage(int rows, int cols)
        : rows_(rows), cols_(cols), words_((cols + kWordBits - 1) / kWordBits),
          bits_(static_cast<size_t>(rows) * words_, 0) {}

    int rows() const { return rows_; }
    int cols() const { return cols_; }
    int words() const { return words_; }
    Word* row(int y) { return bits_.data() + static_cast<size_t>(y) * words_; }
    const Word* row(int y) const { return bits_.data() + static_cast<size_t>(y) * words_; }

private:
    int rows_, cols_, words_;
    std::vector<Word> bits_;
};

// 64 pixels of `p` above `threshold` as one word; `n` up to 64.
inline Word pack_word(const uchar* p, int n, int threshold) {
    Word w = 0;
    int x = 0;
#if defined(__SSE2__)
    // Unsigned comparison through the signed one, both sides offset by 128.
    const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i limit = _mm_set1_epi8(static_cast<char>(threshold ^ 0x80));
    for (; x + 16 <= n; x += 16) {
        const __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x)), offset);
        w |= static_cast<Word>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(v, limit)))) << x;
    }
#endif
    for (; x < n; ++x) w |= static_cast<Word>(p[x] > threshold) << x;
    return w;
}

BitImage pack_above(const cv::Mat& grey, int threshold) {
    BitImage bits(grey.rows, grey.cols);
    for (int y = 0; y < grey.rows; ++y) {
        pairfit::interruption_point();
        const uchar* p = grey.ptr<uchar>(y);
        Word* w = bits.row(y);
        for (int i = 0; i < bits.words(); ++i) {
            w[i] = pack_word(p + i * kWordBits, std::min(kWordBits, grey.cols - i * kWordBits), threshold);
        }
    }
    return bits;
}

// 64 pixels, 0 or 255, from the bits of `w`; `n` up to 64.
inline void unpack_word(Word w, int n, uchar* p) {
    int x = 0;
#if defined(__SSE2__)
    // Each byte of bits spread over eight bytes, then each byte keeps its own bit.
    const __m128i bit_of_byte = _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
    for (; x + 16 <= n; x += 16) {
        __m128i v = _mm_cvtsi32_si128(static_cast<int>((w >> x) & 0xFFFF));
        v = _mm_unpacklo_epi8(v, v);
        v = _mm_unpacklo_epi16(v, v);
        v = _mm_unpacklo_epi32(v, v);
        v = _mm_cmpeq_epi8(_mm_and_si128(v, bit_of_byte), bit_of_byte);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + x), v);
    }
#endif
    for (; x < n; ++x) p[x] = ((w >> x) & 1) ? 255 : 0;
}

cv::Mat unpack(const BitImage& bits) {
    cv::Mat binary(bits.rows(), bits.cols(), CV_8UC1);
    for (int y = 0; y < bits.rows(); ++y) {
        pairfit::interruption_point();
        const Word* w = bits.row(y);
        uchar* p = binary.ptr<uchar>(y);
        for (int i = 0; i < bits.words(); ++i) {
            unpack_word(w[i], std::min(kWordBits, bits.cols() - i * kWordBits), p + i * kWordBits);
        }
    }
    return binary;
}

// Along each row: pixel x becomes `op` over [x - anchor, x - anchor + k).
void filter_rows(BitImage& img, int k, int anchor, Op op) {
    // The row sits `margin` bits into a span with neutral bits around it, so
    // that windows reaching past either edge read neutral bits.
    const int margin_words = (std::max(k, anchor) + kWordBits - 1) / kWordBits + 1;
    const int margin = margin_words * kWordBits;
    const int span_words = img.words() + 2 * margin_words;
    const Word fill = neutral(op);
    const int tail = img.cols() % kWordBits;
    const Word past_end = tail == 0 ? 0 : ~Word(0) << tail;
    std::vector<Word> span(span_words), window(span_words), shifted(span_words), out(span_words);
    for (int y = 0; y < img.rows(); ++y) {
        pairfit::interruption_point();
        Word* w = img.row(y);
        std::fill(span.begin(), span.end(), fill);
        std::copy(w, w + img.words(), span.begin() + margin_words);
        if (past_end) {
            Word& last = span[margin_words + img.words() - 1];
            last = op == Op::and_ ? (last | past_end) : (last & ~past_end);
        }
        forward_window(span, k, op, window, shifted);
        // Pixel x of the row reads the window starting at x - anchor.
        read_shifted(window, margin - anchor, fill, out);
        std::copy(out.begin(), out.begin() + img.words(), w);
    }
}

// Along each column: row y becomes `op` over rows [y - anchor, y - anchor + k).
void filter_columns(BitImage& img, int k, int anchor, Op op) {
    const int rows = img.rows();
    const int words = img.words();
    const Word fill = neutral(op);
    // Rows outside the image are neutral; `span` holds rows [-anchor, rows + k).
    const int first = -anchor;
    const int count = rows + k + anchor;
    std::vector<Word> span(static_cast<size_t>(count) * words, fill);
    for (int y = 0; y < rows; ++y) std::copy(img.row(y), img.row(y) + words, span.begin() + static_cast<size_t>(y - first) * words);
    auto row_of = [&](std::vector<Word>& v, int i) { return v.data() + static_cast<size_t>(i) * words; };
    std::vector<Word> result(span.size(), fill);
    int offset = 0;
    for (int width = 1; width <= k; width *= 2) {
        if (k & width) {
            for (int i = 0; i + offset < count; ++i) {
                if (i % kRowsPerPoint == 0) pairfit::interruption_point();
                Word* r = row_of(result, i);
                const Word* s = row_of(span, i + offset);
                for (int j = 0; j < words; ++j) r[j] = combine(op, r[j], s[j]);
            }
            offset += width;
        }
        if (width * 2 <= k) {
            for (int i = 0; i + width < count; ++i) {
                if (i % kRowsPerPoint == 0) pairfit::interruption_point();
                Word* s = row_of(span, i);
                const Word* t = row_of(span, i + width);
                for (int j = 0; j < words; ++j) s[j] = combine(op, s[j], t[j]);
            }
            // Rows whose partner lies past the end keep their own bits: the
            // partner is neutral.
        }
    }
    for (int y = 0; y < rows; ++y) std::copy(row_of(result, y), row_of(result, y) + words, img.row(y));
}

void filter_rect(BitImage& img, const cv::Size& size, Op op) {
    if (size.width > 1) filter_rows(img, size.width, size.width / 2, op);
    if (size.height > 1) filter_columns(img, size.height, size.height / 2, op);
}

}  // namespace

cv::Mat open_close_dilate_above(const cv::Mat& grey, int threshold, const cv::Size& small,
                                const cv::Size& large) {
    CV_Assert(grey.type() == CV_8UC1);
    BitImage bits = pack_above(grey, threshold);
    filter_rect(bits, small, Op::and_);  // opening
    filter_rect(bits, small, Op::or_);
    filter_rect(bits, small, Op::or_);   // closing
    filter_rect(bits, small, Op::and_);
    filter_rect(bits, large, Op::or_);
    return unpack(bits);
}

}  // namespace pairfit::detail
