#pragma once
// One pass of the brute-force search: every shift and scale change of a
// window is scored by the difference ratio and the best one is folded into
// the pass's transform.

#include <future>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "SimMat.h"

/// Share of the region `roi` where the two images differ, plus a penalty of
/// 0.3 times the share of the image outside the region; 1.0 when the region
/// holds 2500 pixels or fewer.
double dif_ratio(cv::Mat imageA, cv::Mat imageB, cv::Mat roi);

/// One scored candidate correction.
struct Modifications {
    double shift_x;     ///< added to t_x, in pixels of the pass's images
    double shift_y;     ///< added to t_y, in pixels of the pass's images
    double scale_deta;  ///< added to s
    double dif_ratio;   ///< badness of the candidate; lower is better

    Modifications() : shift_x(0), shift_y(0), scale_deta(0), dif_ratio(0) {}
    Modifications(double a, double b, double c, double d)
        : shift_x(a), shift_y(b), scale_deta(c), dif_ratio(d) {}
};

namespace pairfit::detail {
class FastScorer;
}

/// The settings, reduced images and best candidate of one search pass.
class Match {
public:
    int shift_max;            ///< shifts run from -shift_max to shift_max
    int match_step;           ///< distance between successive shifts
    int len_of_scale_range;   ///< 11 with scale changes, 1 without
    double threshold_err;     ///< a candidate at or below it stops its column
    std::unique_ptr<double[]> scale_range;  ///< the scale offsets, in search order
    SimMat* Sim_Mat;          ///< the transform this pass refines; not owned
    cv::Mat img_scaled;       ///< reduced binary reference, filled by the caller
    cv::Mat cam_scaled;       ///< reduced binary camera image, filled by the caller
    Modifications best_modifications;  ///< best candidate so far
    /// Score with the bit-exact fast scorer where it applies; false forces
    /// the straightforward warp-mask-ratio evaluation for every candidate.
    bool fast_scoring = true;

    Match(SimMat* sim_mat, int max, int step, double threshold, bool is_scaling);

    /// Ratio of one candidate: the reference warped by the pass's transform
    /// corrected by (scale offset `scale_index`, shift_x, shift_y), against the
    /// camera image inside their common data region.
    double evaluate_candidate(double shift_x, int scale_index, double shift_y) const;

    /// Best candidate of one column: one x shift, every scale offset and y
    /// shift; returns at once on a candidate at or below the threshold.
    Modifications matching_core(double shift_x) const;

    /// Sequential search over every column; applies the best candidate to
    /// *Sim_Mat and returns its ratio.
    double matching();

    /// The same search on NUM_THREADS workers, cut by x shift.
    double matching_multi(int NUM_THREADS);

    /// One worker: searches its x shifts and hands its best candidate, or the
    /// error that stopped it, to `promiseObj`.
    void matching_cell(const double* shift_x_range, int len_of_shift_x,
                       std::promise<Modifications>& promiseObj) const;

    /// The x (and y) shifts of the window, ascending.
    std::vector<double> shift_values() const;

private:
    // The evaluation needs non-empty 8-bit single-channel images with the
    // camera image at least as large as the reference in both directions.
    void check_images() const;
    void apply_best();
    // The fast scorer of this pass as it stands, or nullptr when the
    // straightforward evaluation must score it. A search makes its own and
    // drops it on return, since the search changes the transform it copies.
    std::unique_ptr<pairfit::detail::FastScorer> make_scorer() const;

    // The column and worker searches, scoring with `scorer` when not null.
    Modifications best_of_column(double shift_x, const pairfit::detail::FastScorer* scorer) const;
    void run_worker(const double* shift_x_range, int len_of_shift_x,
                    std::promise<Modifications>& promiseObj, const pairfit::detail::FastScorer* scorer) const;

    class CandidateColumn;
};
