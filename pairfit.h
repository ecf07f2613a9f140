#pragma once
// The alignment pipeline: two image files in, two aligned crops written and
// the transform with its score out.

#include <string>

#include "SimMat.h"

/// Aligns the reference image at img_path with the camera image at cam_path.
/// Outcomes travel in the result: s == 0 when either image is missing or
/// unreadable; score == 0 (s == 1) when the camera image cannot be
/// binarised; otherwise the full-resolution transform and 1 minus the best
/// fine-pass ratio, after both crops have been written into output_dir (the
/// reference's directory when empty).
/// Throws pairfit::InvalidInput, pairfit::FileError or pairfit::LibraryError.
SimMat alignment_ICpair(const char* img_path, const char* cam_path, const char* output_dir,
                        int out_size, bool is_masked);
