#include "Match.h"

#include <algorithm>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "errors.h"
#include "fast_search.h"
#include "pairfit/core.h"
#include "utils.h"
#include "work_split.h"
#include "pairfit/worker_pool.h"

using pairfit::detail::FastScorer;
using pairfit::detail::consecutive_runs;
using pairfit::worker_count;
using pairfit::size_text;

namespace {

// Written out rather than accumulated: a running sum of 0.01 differs from
// these literals in the last bit, and that would change the chosen scale.
const double kScaleOffsets[] = {-0.05, -0.04, -0.03, -0.02, -0.01, 0.0,
                                0.01,  0.02,  0.03,  0.04,  0.05};
const double kNoScaleChange[] = {0.0};

}  // namespace

Match::Match(SimMat* sim_mat, int max, int step, double threshold, bool is_scaling)
    : shift_max(max),
      match_step(step),
      len_of_scale_range(is_scaling ? 11 : 1),
      threshold_err(threshold),
      scale_range(slice(is_scaling ? kScaleOffsets : kNoScaleChange, is_scaling ? 11 : 1)),
      Sim_Mat(sim_mat),
      best_modifications(0, 0, 0, 1.0) {
    if (max < 0 || step < 1) {
        throw pairfit::InvalidInput("search window needs shift_max >= 0 and match_step >= 1, got " +
                                    std::to_string(max) + " and " + std::to_string(step));
    }
}

// The candidates of one x shift and scale offset, scored by the fast scorer
// when the search has one, by the straightforward evaluation otherwise.
class Match::CandidateColumn {
public:
    CandidateColumn(const Match& match, const FastScorer* scorer, double shift_x, int scale_index)
        : match_(match), scorer_(scorer), shift_x_(shift_x), scale_index_(scale_index) {
        if (scorer) fast_ = scorer->column(shift_x, scale_index);
    }
    double ratio(double shift_y) const {
        return scorer_ ? fast_.ratio(shift_y)
                       : match_.evaluate_candidate(shift_x_, scale_index_, shift_y);
    }

private:
    const Match& match_;
    const FastScorer* scorer_;
    double shift_x_;
    int scale_index_;
    FastScorer::Column fast_;
};

std::unique_ptr<FastScorer> Match::make_scorer() const {
    if (!fast_scoring) return nullptr;
    return FastScorer::create(*Sim_Mat, scale_range.get(), len_of_scale_range, img_scaled,
                              cam_scaled);
}

std::vector<double> Match::shift_values() const {
    std::vector<double> values;
    for (long long v = -shift_max; v <= shift_max; v += match_step) {
        values.push_back(static_cast<double>(v));
    }
    return values;
}

double Match::evaluate_candidate(double shift_x, int scale_index, double shift_y) const {
    return pairfit::masked_ratio(img_scaled, cam_scaled,
                                 Sim_Mat->Matrix_Sim_Modification(0, scale_range[scale_index], shift_x, shift_y));
}

void Match::check_images() const {
    if (img_scaled.empty() || cam_scaled.empty()) {
        throw pairfit::InvalidInput("search images are empty: reference " + size_text(img_scaled.size()) +
                                    ", camera " + size_text(cam_scaled.size()));
    }
    if (img_scaled.type() != CV_8UC1 || cam_scaled.type() != CV_8UC1) {
        throw pairfit::InvalidInput("search images must be 8-bit single-channel");
    }
    if (cam_scaled.cols < img_scaled.cols || cam_scaled.rows < img_scaled.rows) {
        throw pairfit::InvalidInput("search camera image " + size_text(cam_scaled.size()) +
                                    " is smaller than the reference " + size_text(img_scaled.size()));
    }
}

Modifications Match::matching_core(double shift_x) const {
    return best_of_column(shift_x, nullptr);
}

Modifications Match::best_of_column(double shift_x, const FastScorer* scorer) const {
    Modifications modifications(shift_x, 0, 0, 1.0);
    for (int i = 0; i < len_of_scale_range; ++i) {
        const CandidateColumn column(*this, scorer, shift_x, i);
        for (long long shift_y = -shift_max; shift_y <= shift_max; shift_y += match_step) {
            const double dif_r = column.ratio(static_cast<double>(shift_y));
            if (dif_r < modifications.dif_ratio) {
                modifications = Modifications(shift_x, static_cast<double>(shift_y), scale_range[i], dif_r);
            }
            if (dif_r <= threshold_err) return modifications;
        }
    }
    return modifications;
}

void Match::apply_best() {
    Sim_Mat->SimMat_Modification(0, best_modifications.scale_deta, best_modifications.shift_x,
                                 best_modifications.shift_y);
}

double Match::matching() {
    check_images();
    const std::unique_ptr<FastScorer> scorer = make_scorer();
    for (const double shift_x : shift_values()) {
        const Modifications modifications = best_of_column(shift_x, scorer.get());
        if (modifications.dif_ratio < best_modifications.dif_ratio) {
            best_modifications = modifications;
        }
    }
    apply_best();
    return best_modifications.dif_ratio;
}

void Match::matching_cell(const double* shift_x_range, int len_of_shift_x,
                          std::promise<Modifications>& promiseObj) const {
    run_worker(shift_x_range, len_of_shift_x, promiseObj, nullptr);
}

void Match::run_worker(const double* shift_x_range, int len_of_shift_x,
                       std::promise<Modifications>& promiseObj, const FastScorer* scorer) const {
    try {
        // The columns of a worker are searched as matching searches them, so
        // that both choose the same candidate whatever the threshold.
        Modifications modifications(0, 0, 0, 1.0);
        for (int k = 0; k < len_of_shift_x; ++k) {
            const Modifications column = best_of_column(shift_x_range[k], scorer);
            if (column.dif_ratio < modifications.dif_ratio) modifications = column;
        }
        promiseObj.set_value(modifications);
    } catch (...) {
        // A worker must not take the process down: its error travels to the
        // calling thread, which rethrows it after every worker has ended.
        promiseObj.set_exception(std::current_exception());
    }
}

double Match::matching_multi(int NUM_THREADS) {
    if (NUM_THREADS < 1) {
        throw pairfit::InvalidInput("the search needs at least one worker, got " +
                                    std::to_string(NUM_THREADS));
    }
    check_images();
    const std::unique_ptr<FastScorer> scorer = make_scorer();
    // Only the shifts actually generated are handed out, so that no worker
    // gets a slot without a value when match_step does not divide shift_max.
    const std::vector<double> shift_x_range = shift_values();
    const int shift_num = static_cast<int>(shift_x_range.size());
    const std::vector<int> len_of_shift_x_range = consecutive_runs(shift_num, NUM_THREADS);

    std::vector<std::unique_ptr<double[]>> shift_x_range_split;
    const double* p = shift_x_range.data();
    for (int i = 0; i < NUM_THREADS; ++i) {
        shift_x_range_split.push_back(slice(p, len_of_shift_x_range[i]));
        p += len_of_shift_x_range[i];
    }

    std::vector<std::promise<Modifications>> promiseObj(NUM_THREADS);
    std::vector<std::future<Modifications>> futureObj(NUM_THREADS);
    for (int i = 0; i < NUM_THREADS; ++i) futureObj[i] = promiseObj[i].get_future();

    // The workers are the units of the split and of the result; they run on
    // no more threads than the machine has cores, since more threads only
    // add their start-up cost. Which thread runs a worker changes nothing:
    // each has its own promise and results are read in worker order.
    const int thread_count = std::min(NUM_THREADS, worker_count());
    pairfit::run_parts(thread_count, [&](int first) {
        for (int i = first; i < NUM_THREADS; i += thread_count) {
            run_worker(shift_x_range_split[i].get(), len_of_shift_x_range[i], promiseObj[i],
                       scorer.get());
        }
    });

    // Every result is read before any is used, so a worker's error leaves
    // best_modifications and the transform as they were.
    std::vector<Modifications> modifications(NUM_THREADS);
    for (int i = 0; i < NUM_THREADS; ++i) modifications[i] = futureObj[i].get();
    for (int i = 0; i < NUM_THREADS; ++i) {
        if (best_modifications.dif_ratio > modifications[i].dif_ratio) {
            best_modifications = modifications[i];
        }
    }
    apply_best();
    return best_modifications.dif_ratio;
}
