#pragma once
// Images made for the tests: random, patterned, and fingerprints to show
// that an operation left its inputs alone.

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace testimg {

/// 8-bit single-channel image of random 0/255 pixels.
cv::Mat random_binary(int rows, int cols, std::uint64_t seed);

/// Random binary image with blobs rather than salt: a random image at an
/// eighth of the size, enlarged, so that shifts change the ratio smoothly.
cv::Mat blob_binary(int rows, int cols, std::uint64_t seed);

/// 8-bit three-channel image of random values.
cv::Mat random_colour(int rows, int cols, std::uint64_t seed);

/// Three-channel image whose pixel (x, y) holds (x % 251, y % 251,
/// (7x + 3y) % 256): every pixel tells where it came from.
cv::Mat coordinate_colour(int rows, int cols);

/// A reference-like colour image: dark shapes on a light background.
cv::Mat document_colour(int rows, int cols, std::uint64_t seed);

/// cv::warpAffine of `src` by the forward map `m` onto `size`, nearest
/// neighbour, `fill` outside: the library's own result to compare with.
cv::Mat warp_nearest(const cv::Mat& src, const cv::Mat& m, cv::Size size, const cv::Scalar& fill);

/// Byte-exact copy to compare against later.
cv::Mat snapshot(const cv::Mat& m);

/// True when the two images have the same size, type and bytes.
bool identical(const cv::Mat& a, const cv::Mat& b);

/// A fresh empty directory under the system's temporary directory, removed
/// with all it holds when this object ends.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& tag);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace testimg
