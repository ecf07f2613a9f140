#pragma once
// A realistic reference and camera pair for the benchmarks: a printed label
// with text, blocks, a logo, a bar code and a photo area, photographed on a
// desk with defocus, uneven light, a colour cast, noise and JPEG compression.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

struct SyntheticShot {
    double s = 0.98;      // scale of the label in the shot
    double t_x = 60.0;    // where the label's origin lands, in shot pixels
    double t_y = 45.0;
    double blur = 2.0;    // defocus, Gaussian sigma in pixels
    double noise = 3.0;   // sensor noise, standard deviation in grey levels
};

/// The label, 8-bit BGR, width x height.
cv::Mat make_label(int width, int height, unsigned seed);

/// A sparse label: a few short lines of small text and a thin frame on
/// white paper, most of it blank.
cv::Mat make_sparse_label(int width, int height, unsigned seed);

/// A repetitive grid: equal cells with the same mark and a small number in
/// each, as on a sheet of stickers or a well plate, with one small legend.
cv::Mat make_grid(int width, int height, unsigned seed);

/// The label photographed as `shot` describes, on a canvas of the label's size.
cv::Mat photograph_label(const cv::Mat& label, const SyntheticShot& shot, unsigned seed);

/// Writes the pair as <dir>/label.jpg and <dir>/label_shot.jpg (quality 90).
void write_pair(const std::string& dir, int width, int height, unsigned seed);

/// A rotation by `degrees` and a scale by `s` about the origin.
cv::Matx33d similarity(double degrees, double s);

/// Where the homography `m` takes the point `p`.
cv::Point2d mapped(const cv::Matx33d& m, cv::Point2d p);

/// A tilt of the camera: the reference's corners moved by up to `reach` of
/// its longer side, each in its own direction.
cv::Matx33d tilt(cv::Size ref, double reach, cv::RNG& rng);

/// The middle value (the upper one of an even count); NaN when there is none.
double median(std::vector<double> v);
