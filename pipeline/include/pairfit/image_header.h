#pragma once
// Image sizes read from file headers, so that an image too large to decode
// is refused before any memory is spent on it.

#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace pairfit {

/// What a file tells before it is decoded: the size its header declares, or
/// why it cannot be read.
struct ImageFileCheck {
    std::optional<cv::Size> size;  ///< set exactly when `problem` is empty
    /// "not found", "permission denied", "not a regular file", or "cannot be
    /// decoded: ..." for a format OpenCV does not decode here or a header
    /// whose size cannot be read.
    std::string problem;
};

/// Reads the size from the header of a PNG, JPEG (also after fill bytes and
/// any number of other segments), BMP, TIFF or BigTIFF, WebP, PBM/PGM/PPM,
/// PAM, PFM, Radiance HDR, JPEG 2000 (codestream or JP2), OpenEXR or Sun
/// raster file: every format OpenCV decodes here apart from DICOM, which is
/// refused. Only a regular file is opened, so a FIFO or a device never blocks.
ImageFileCheck check_image_file(const std::string& path);

}  // namespace pairfit
