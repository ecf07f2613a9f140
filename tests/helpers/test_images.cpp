#include "test_images.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace testimg {

cv::Mat random_binary(int rows, int cols, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    cv::Mat m(rows, cols, CV_8UC1);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) m.at<uchar>(y, x) = (rng() & 1) ? 255 : 0;
    }
    return m;
}

cv::Mat blob_binary(int rows, int cols, std::uint64_t seed) {
    const cv::Mat small = random_binary((rows + 7) / 8, (cols + 7) / 8, seed);
    cv::Mat big;
    cv::resize(small, big, cv::Size(cols, rows), 0, 0, cv::INTER_NEAREST);
    return big;
}

cv::Mat random_colour(int rows, int cols, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    cv::Mat m(rows, cols, CV_8UC3);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols * 3; ++x) m.ptr<uchar>(y)[x] = static_cast<uchar>(rng());
    }
    return m;
}

cv::Mat coordinate_colour(int rows, int cols) {
    cv::Mat m(rows, cols, CV_8UC3);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) {
            m.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x % 251),
                                              static_cast<uchar>(y % 251),
                                              static_cast<uchar>((7 * x + 3 * y) % 256));
        }
    }
    return m;
}

cv::Mat document_colour(int rows, int cols, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    cv::Mat m(rows, cols, CV_8UC3, cv::Scalar(235, 240, 245));
    const int shapes = 40;
    for (int k = 0; k < shapes; ++k) {
        const int x = static_cast<int>(rng() % cols);
        const int y = static_cast<int>(rng() % rows);
        const int w = 10 + static_cast<int>(rng() % (cols / 6));
        const int h = 10 + static_cast<int>(rng() % (rows / 6));
        const int grey = 10 + static_cast<int>(rng() % 50);
        cv::rectangle(m, cv::Rect(x, y, w, h), cv::Scalar(grey, grey, grey), cv::FILLED);
    }
    return m;
}

cv::Mat warp_nearest(const cv::Mat& src, const cv::Mat& m, cv::Size size, const cv::Scalar& fill) {
    cv::Mat dst;
    cv::warpAffine(src, dst, m, size, cv::INTER_NEAREST, cv::BORDER_CONSTANT, fill);
    return dst;
}

cv::Mat snapshot(const cv::Mat& m) { return m.clone(); }

bool identical(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    if (a.empty()) return true;
    cv::Mat diff;
    cv::compare(a.reshape(1), b.reshape(1), diff, cv::CMP_NE);
    return cv::countNonZero(diff) == 0;
}

TemporaryDirectory::TemporaryDirectory(const std::string& tag) {
    std::string pattern = (std::filesystem::temp_directory_path() / ("pairfit-" + tag + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary directory '" + pattern + "': " + std::strerror(errno));
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;  // a test that failed half-way leaves what it leaves
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testimg
