#pragma once
// Pictures for a person to check a batch at a glance.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "report.h"

/// The aligned camera crop with the outline of the aligned reference's dark
/// areas drawn over it in magenta. Both crops have the same size.
cv::Mat overlay_image(const cv::Mat& reference_crop, const cv::Mat& camera_crop);

/// Writes <dir>/<stem>_overlay.png from the two crops written there; returns
/// its path, or "" when the crops cannot be read.
std::string write_overlay(const std::string& dir, const PairResult& result);

/// Writes an HTML page listing every result, worst score first, with the
/// overlay of each pair that has one as a thumbnail (paths relative to the page).
void write_index_html(const std::string& path, std::vector<PairResult> results,
                      const std::string& output_dir);
