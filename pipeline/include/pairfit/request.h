#pragma once
// What one alignment is asked to do, shared by every entry and face.

#include <string>

#include <opencv2/core.hpp>

namespace pairfit {

/// An image named by its file, or already in memory (8-bit BGR). The name
/// of an image in memory only names its output files.
struct ImageSource {
    std::string path;  ///< the file; for an image in memory, the name its outputs take
    cv::Mat pixels;    ///< the image when it is in memory, empty otherwise

    ImageSource() = default;
    ImageSource(std::string file) : path(std::move(file)) {}  // NOLINT: a path is an image source
    ImageSource(const char* file) : path(file) {}             // NOLINT
    bool in_memory() const { return !pixels.empty(); }
};

/// One pair to align and where its two crops go.
struct AlignRequest {
    ImageSource reference;
    ImageSource camera;
    std::string output_dir;  ///< "" writes beside the reference
    int out_size = 600;      ///< side of the two aligned squares in pixels
    bool is_masked = true;   ///< grey out the camera crop outside the reference
};

}  // namespace pairfit
