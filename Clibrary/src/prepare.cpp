#include "prepare.h"

#include "binary_morphology.h"
#include "pairfit/worker_pool.h"

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace pairfit::detail {

cv::Mat value_plane(const cv::Mat& bgr, int bands, int margin) {
    CV_Assert(bgr.type() == CV_8UC3 && !bgr.empty() && margin >= 0);
    cv::Mat value(bgr.rows, bgr.cols + 2 * margin, CV_8UC1);
    for_each_band(bgr.rows, bands, [&](int first, int end) {
        for (int y = first; y < end; ++y) {
            pairfit::interruption_point();
            const uchar* p = bgr.ptr<uchar>(y);
            uchar* v = value.ptr<uchar>(y) + margin;
            for (int x = 0; x < bgr.cols; ++x, p += 3) v[x] = std::max(p[0], std::max(p[1], p[2]));
            std::fill(v - margin, v, v[0]);
            std::fill(v + bgr.cols, v + bgr.cols + margin, v[bgr.cols - 1]);
        }
    });
    return value;
}

Histogram histogram_in_bands(const cv::Mat& grey, int bands) {
    CV_Assert(grey.type() == CV_8UC1);
    bands = std::max(1, std::min(bands, grey.rows));
    std::vector<Histogram> parts(bands, Histogram{});
    const std::vector<int> lengths = consecutive_runs(grey.rows, bands);
    std::vector<int> band_of_row;
    for (int b = 0; b < bands; ++b) band_of_row.insert(band_of_row.end(), lengths[b], b);
    for_each_band(grey.rows, bands, [&](int first, int end) {
        // Four interleaved tallies: runs of one value would otherwise make
        // every increment wait for the one before.
        std::vector<uint32_t> tally(4 * 256, 0);
        Histogram& h = parts[band_of_row[first]];
        auto empty_tallies = [&] {
            for (int i = 0; i < 256; ++i) h[i] += tally[i] + tally[256 + i] + tally[512 + i] + tally[768 + i];
            std::fill(tally.begin(), tally.end(), 0);
        };
        long long tallied = 0;
        for (int y = first; y < end; ++y) {
            pairfit::interruption_point();
            if (tallied > (1LL << 31)) {  // far below what 32 bits hold
                empty_tallies();
                tallied = 0;
            }
            tallied += grey.cols;
            const uchar* p = grey.ptr<uchar>(y);
            int x = 0;
            for (; x + 4 <= grey.cols; x += 4) {
                ++tally[p[x]];
                ++tally[256 + p[x + 1]];
                ++tally[512 + p[x + 2]];
                ++tally[768 + p[x + 3]];
            }
            for (; x < grey.cols; ++x) ++tally[p[x]];
        }
        empty_tallies();
    });
    Histogram total{};
    for (const Histogram& h : parts) {
        for (int i = 0; i < 256; ++i) total[i] += h[i];
    }
    return total;
}

int otsu_threshold(const Histogram& h) {
    // OpenCV's arithmetic, operation for operation, so that the
    // threshold is the one cv::threshold(THRESH_OTSU) picks.
    long long pixels = 0;
    for (long long n : h) pixels += n;
    const double scale = 1. / static_cast<double>(pixels);
    double mu = 0;
    for (int i = 0; i < 256; ++i) mu += i * static_cast<double>(h[i]);
    mu *= scale;
    double mu1 = 0, q1 = 0;
    double max_sigma = 0, max_val = 0;
    for (int i = 0; i < 256; ++i) {
        const double p_i = static_cast<double>(h[i]) * scale;
        mu1 *= q1;
        q1 += p_i;
        const double q2 = 1. - q1;
        if (std::min(q1, q2) < FLT_EPSILON || std::max(q1, q2) > 1. - FLT_EPSILON) continue;
        mu1 = (mu1 + i * p_i) / q1;
        const double mu2 = (mu - q1 * mu1) / q2;
        const double sigma = q1 * q2 * (mu1 - mu2) * (mu1 - mu2);
        if (sigma > max_sigma) {
            max_sigma = sigma;
            max_val = i;
        }
    }
    return static_cast<int>(max_val);
}

cv::Mat filter_in_bands(const cv::Mat& src, int halo, int bands,
                        const std::function<cv::Mat(const cv::Mat&)>& filter) {
    cv::Mat dst(src.size(), src.type());
    for_each_band(src.rows, bands, [&](int first, int end) {
        // A filter treats the outermost rows it is given as the image edge;
        // inside the image the band sees its real neighbours instead.
        const int context_first = std::max(0, first - halo);
        const int context_end = std::min(src.rows, end + halo);
        const cv::Mat filtered = filter(src.rowRange(context_first, context_end));
        filtered.rowRange(first - context_first, end - context_first).copyTo(dst.rowRange(first, end));
    });
    return dst;
}

cv::Mat open_close_dilate_in_bands(const cv::Mat& grey, int threshold, const cv::Size& small,
                                   const cv::Size& large, int bands) {
    // Four passes with the small element (erode and dilate twice) and one
    // with the large: each reaches at most its height away.
    const int halo = 4 * small.height + large.height;
    return filter_in_bands(grey, halo, bands, [&](const cv::Mat& band) {
        return open_close_dilate_above(band, threshold, small, large);
    });
}

}  // namespace pairfit::detail
