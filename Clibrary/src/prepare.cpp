#include "prepare.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

#include <opencv2/imgproc.hpp>

void for_each_band(int rows, int bands, const std::function<void(int, int)>& fn) {
    bands = std::max(1, std::min(bands, rows));
    const std::vector<int> lengths = consecutive_runs(rows, bands);
    std::vector<int> firsts(bands + 1, 0);
    for (int b = 0; b < bands; ++b) firsts[b + 1] = firsts[b] + lengths[b];
    std::vector<std::exception_ptr> errors(bands);
    auto run_band = [&](int b) {
        try {
            fn(firsts[b], firsts[b + 1]);
        } catch (...) {
            errors[b] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(bands - 1);
    try {
        for (int b = 1; b < bands; ++b) threads.emplace_back(run_band, b);
    } catch (...) {
        for (std::thread& t : threads) t.join();
        throw;
    }
    run_band(0);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors) {
        if (e) std::rethrow_exception(e);
    }
}

cv::Mat value_plane(const cv::Mat& bgr, int bands) {
    CV_Assert(bgr.type() == CV_8UC3);
    cv::Mat value(bgr.size(), CV_8UC1);
    for_each_band(bgr.rows, bands, [&](int first, int end) {
        for (int y = first; y < end; ++y) {
            const uchar* p = bgr.ptr<uchar>(y);
            uchar* v = value.ptr<uchar>(y);
            for (int x = 0; x < bgr.cols; ++x, p += 3) v[x] = std::max(p[0], std::max(p[1], p[2]));
        }
    });
    return value;
}

cv::Mat red_plane(const cv::Mat& bgr) {
    cv::Mat red;
    cv::extractChannel(bgr, red, 2);
    return red;
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

cv::Mat open_close_dilate_in_bands(const cv::Mat& binary, const cv::Mat& small,
                                   const cv::Mat& large, int bands) {
    // Four passes with the small element (erode and dilate twice) and one
    // with the large: each reaches at most its height away.
    const int halo = 4 * small.rows + large.rows;
    return filter_in_bands(binary, halo, bands, [&](const cv::Mat& band) {
        cv::Mat out;
        cv::morphologyEx(band, out, cv::MORPH_OPEN, small);
        cv::morphologyEx(out, out, cv::MORPH_CLOSE, small);
        cv::dilate(out, out, large);
        return out;
    });
}
