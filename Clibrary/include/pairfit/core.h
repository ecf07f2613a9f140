#pragma once
// What the core offers the layers above besides its contract (SimMat, ICPair,
// Match, utils, errors): the pixel conventions every layer shares, the
// search's measure of one map, and the split of work between the cores.

#include <functional>
#include <string>

#include <opencv2/core.hpp>

#include "SimMat.h"

namespace pairfit {

/// The grey that marks pixels without data, in binary and colour images
/// alike: the border around a fitted camera image and whatever a warp of the
/// reference does not cover. Binary images hold 0 and 255 elsewhere, so it
/// can never be mistaken for content there.
inline constexpr int kNoData = 127;

/// The shortest reference side the binarisation accepts: its clean-up opens
/// with a structuring element of side / 200 pixels, which must be at least one.
inline constexpr int kMinReferenceSide = 200;

/// "WIDTHxHEIGHT", as every message about an image's size writes it.
std::string size_text(cv::Size size);

/// True when `text` ends with `end`; a text equal to `end` ends with it.
bool ends_with(const std::string& text, const std::string& end);

/// The search's difference ratio of one map: `reference` warped by `map`
/// (nearest neighbour, kNoData outside) against the centre of `camera` cut
/// to the reference's size, counted where both carry data. Both are binary
/// 8-bit images, the camera at least as large as the reference.
double masked_ratio(const cv::Mat& reference, const cv::Mat& camera, const SimMat& map);

/// Threads worth starting for full-resolution work: the hardware threads, at
/// least 1.
int worker_count();

/// Calls fn(first_row, end_row) for `bands` consecutive horizontal bands of
/// `rows` rows, each on its own thread (the first on the caller's). Every
/// band has ended when it returns; the first error a band raised is rethrown.
void for_each_band(int rows, int bands, const std::function<void(int, int)>& fn);

}  // namespace pairfit
