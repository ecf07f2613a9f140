#pragma once
// Image sizes read from file headers, so that an image too large to decode
// is refused before any memory is spent on it.

#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace pairfit {

/// Width and height as the header of a PNG, JPEG, BMP, TIFF, WebP or
/// PBM/PGM/PPM file declares them; nothing for a file that is not a regular
/// file, cannot be read, or is in another format (or a damaged header).
std::optional<cv::Size> image_size_from_header(const std::string& path);

}  // namespace pairfit
