#pragma once
// What one alignment is asked to do, shared by every entry and face.

#include <functional>
#include <string>
#include <utility>

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
    AlignRequest() = default;
    AlignRequest(ImageSource reference_, ImageSource camera_, std::string output_dir_ = "",
                 int out_size_ = 600, bool is_masked_ = true)
        : reference(std::move(reference_)), camera(std::move(camera_)),
          output_dir(std::move(output_dir_)), out_size(out_size_), is_masked(is_masked_) {}

    ImageSource reference;
    ImageSource camera;
    std::string output_dir;  ///< "" writes beside the reference
    int out_size = 600;      ///< side of the two aligned squares in pixels
    bool is_masked = true;   ///< grey out the camera crop outside the reference
    bool write_files = true; ///< false keeps the two crops in memory only
    /// Images with more pixels than this are refused before they are decoded.
    long long max_pixels = 100'000'000;
    /// Called between the stages of an alignment, on the calling thread; it
    /// may throw to stop the alignment there (nothing is written after it
    /// has thrown).
    std::function<void()> checkpoint;
    /// Also call `checkpoint` inside the long stages, at most every 50 ms of
    /// work, so that a stop takes effect within a fraction of a second at
    /// any image size.
    bool checkpoint_within_stages = false;
};

}  // namespace pairfit
