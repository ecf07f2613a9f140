#include <future>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "Match.h"
#include "errors.h"
#include "test_images.h"
#include "work_split.h"

using namespace pairfit::detail;  // the core's inside, tested and timed directly

namespace {

cv::Mat shifted(const cv::Mat& src, double dx, double dy, cv::Size size) {
    return testimg::warp_nearest(src, (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy), size, cv::Scalar(127));
}

// Camera image: the reference moved by (dx, dy), with some noise, on a
// larger canvas whose margin carries no data.
cv::Mat camera_from(const cv::Mat& img, double dx, double dy, int margin, std::uint64_t seed) {
    cv::Mat cam(img.rows + 2 * margin, img.cols + 2 * margin, CV_8UC1, cv::Scalar(127));
    cv::Mat moved = shifted(img, dx, dy, img.size());
    const cv::Mat noise = testimg::random_binary(img.rows, img.cols, seed);
    for (int y = 0; y < img.rows; y += 3) {
        for (int x = 0; x < img.cols; x += 7) moved.at<uchar>(y, x) = noise.at<uchar>(y, x);
    }
    moved.copyTo(cam(cv::Rect(margin, margin, img.cols, img.rows)));
    return cam;
}

struct SearchResult {
    Modifications best;
    double ratio;
    double s, t_x, t_y;
};

SearchResult run_search(const cv::Mat& img, const cv::Mat& cam, int max, int step, bool scaling,
                        int threads /* 0: sequential */, SimMat start = SimMat(0, 1, 0, 0),
                        double threshold = 0.0) {
    Match match(&start, max, step, threshold, scaling);
    match.img_scaled = img;
    match.cam_scaled = cam;
    const double ratio = threads == 0 ? match.matching() : match.matching_multi(threads);
    return {match.best_modifications, ratio, start.s, start.t_x, start.t_y};
}

void expect_same(const SearchResult& a, const SearchResult& b) {
    EXPECT_EQ(a.best.shift_x, b.best.shift_x);
    EXPECT_EQ(a.best.shift_y, b.best.shift_y);
    EXPECT_EQ(a.best.scale_deta, b.best.scale_deta);
    EXPECT_EQ(a.best.dif_ratio, b.best.dif_ratio);
    EXPECT_EQ(a.ratio, b.ratio);
    EXPECT_EQ(a.s, b.s);
    EXPECT_EQ(a.t_x, b.t_x);
    EXPECT_EQ(a.t_y, b.t_y);
}

// Vertical stripes of width 1: a shift of -1 and of +1 match equally well.
cv::Mat stripes(int rows, int cols, int phase) {
    cv::Mat m(rows, cols, CV_8UC1);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) m.at<uchar>(y, x) = ((x + phase) % 2) ? 255 : 0;
    }
    return m;
}

}  // namespace

TEST(SearchSetup, ScaleOffsetsAreTheElevenLiteralValues) {
    SimMat sim(0, 1, 0, 0);
    const Match scaling(&sim, 50, 5, 0.0, true);
    const double expected[] = {-0.05, -0.04, -0.03, -0.02, -0.01, 0.0, 0.01, 0.02, 0.03, 0.04, 0.05};
    ASSERT_EQ(scaling.len_of_scale_range, 11);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(scaling.scale_range[i], expected[i]) << i;
    const Match fixed(&sim, 5, 1, 0.0, false);
    ASSERT_EQ(fixed.len_of_scale_range, 1);
    EXPECT_EQ(fixed.scale_range[0], 0.0);
    EXPECT_EQ(fixed.best_modifications.dif_ratio, 1.0);
}

TEST(SearchSetup, ShiftsRunFromMinusMaxUpToMaxInSteps) {
    SimMat sim(0, 1, 0, 0);
    const std::vector<double> coarse = Match(&sim, 50, 5, 0, false).shift_values();
    ASSERT_EQ(coarse.size(), 21u);
    EXPECT_EQ(coarse.front(), -50);
    EXPECT_EQ(coarse.back(), 50);
    const std::vector<double> odd = Match(&sim, 50, 7, 0, false).shift_values();
    ASSERT_EQ(odd.size(), 15u);
    EXPECT_EQ(odd.back(), 48);
    EXPECT_EQ(Match(&sim, 0, 1, 0, false).shift_values(), std::vector<double>{0});
    EXPECT_THROW(Match(&sim, 5, 0, 0, false), pairfit::InvalidInput);
}

TEST(SearchSplit, RunsAreEqualWithTheRemainderOnTheLastWorker) {
    EXPECT_EQ(consecutive_runs(21, 10), (std::vector<int>{2, 2, 2, 2, 2, 2, 2, 2, 2, 3}));
    EXPECT_EQ(consecutive_runs(11, 5), (std::vector<int>{2, 2, 2, 2, 3}));
    EXPECT_EQ(consecutive_runs(11, 1), (std::vector<int>{11}));
    std::vector<int> many = consecutive_runs(11, 20);
    EXPECT_EQ(many.back(), 11);
    many.pop_back();
    EXPECT_EQ(many, std::vector<int>(19, 0));
}

TEST(SearchCandidate, WarpMovesTheReferenceOntoTheCamera) {
    const cv::Mat img = testimg::blob_binary(60, 80, 1);
    const cv::Mat cam = shifted(img, 3, -2, img.size());
    SimMat sim(0, 1, 0, 0);
    Match match(&sim, 5, 1, 0.0, false);
    match.img_scaled = img;
    match.cam_scaled = cam;
    const double penalty = ((4800.0 - 58 * 77) * 0.3) / 4800.0;
    EXPECT_DOUBLE_EQ(match.evaluate_candidate(3, 0, -2), penalty);
    EXPECT_GT(match.evaluate_candidate(-3, 0, 2), penalty);
    const double truth = match.evaluate_candidate(3, 0, -2);  // before the search moves the transform
    EXPECT_EQ(match.matching(), truth);
    EXPECT_EQ(sim.t_x, 3);
    EXPECT_EQ(sim.t_y, -2);
}

TEST(SearchCandidate, LargerCameraIsComparedByItsCentre) {
    const cv::Mat img = testimg::blob_binary(60, 80, 2);
    cv::Mat cam(66, 85, CV_8UC1, cv::Scalar(127));
    img.copyTo(cam(cv::Rect(2, 3, 80, 60)));  // (85-80)/2 = 2, (66-60)/2 = 3
    SimMat sim(0, 1, 0, 0);
    Match match(&sim, 5, 1, 0.0, false);
    match.img_scaled = img;
    match.cam_scaled = cam;
    EXPECT_EQ(match.evaluate_candidate(0, 0, 0), 0.0);
}

TEST(SearchTies, FirstCandidateAndLowestWorkerWin) {
    const cv::Mat img = stripes(60, 80, 0);
    const cv::Mat cam = stripes(60, 80, 1);
    for (int threads : {0, 1, 2, 3, 7}) {
        const SearchResult r = run_search(img, cam, 3, 1, false, threads);
        EXPECT_EQ(r.best.shift_x, -1) << threads;
        EXPECT_EQ(r.best.shift_y, 0) << threads;
    }
}

TEST(SearchTies, ACandidateEqualToTheHeldBestDoesNotReplaceIt) {
    const cv::Mat img = testimg::blob_binary(60, 80, 3);
    const cv::Mat cam = camera_from(img, 2, 1, 4, 30);
    const SearchResult first = run_search(img, cam, 4, 1, false, 0);
    for (int threads : {0, 3}) {
        SimMat sim(0, 1, 0, 0);
        Match match(&sim, 4, 1, 0.0, false);
        match.img_scaled = img;
        match.cam_scaled = cam;
        match.best_modifications = Modifications(9, 9, 0, first.best.dif_ratio);
        threads == 0 ? match.matching() : match.matching_multi(threads);
        EXPECT_EQ(match.best_modifications.shift_x, 9) << threads;
        EXPECT_EQ(sim.t_x, 9);
    }
}

TEST(SearchParallel, ChoosesWhatTheSequentialSearchChoosesOnRandomImages) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        const cv::Mat img = testimg::blob_binary(70 + static_cast<int>(seed), 90, seed);
        const cv::Mat cam = camera_from(img, 4.0 * (seed % 3) - 4, 2.0 - seed, 3, seed + 100);
        const SearchResult sequential = run_search(img, cam, 10, 2, true, 0, SimMat(0, 1, 1, -1));
        for (int threads : {1, 3, 5, 10, 25}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " threads " << threads);
            expect_same(run_search(img, cam, 10, 2, true, threads, SimMat(0, 1, 1, -1)), sequential);
        }
    }
}

TEST(SearchParallel, StepThatDoesNotDivideTheWindowHandsOutOnlyRealShifts) {
    const cv::Mat img = testimg::blob_binary(50, 70, 7);
    const cv::Mat cam = camera_from(img, -7, 2, 2, 70);
    const SearchResult sequential = run_search(img, cam, 10, 3, false, 0);
    EXPECT_EQ(sequential.best.shift_x, -7);
    for (int threads : {1, 2, 4, 7, 9}) expect_same(run_search(img, cam, 10, 3, false, threads), sequential);
}

TEST(SearchThreshold, EverySearchStopsAColumnAtItsFirstCandidateAtTheThreshold) {
    const cv::Mat img = testimg::blob_binary(60, 80, 8);
    const cv::Mat cam = camera_from(img, 0, 0, 0, 80);
    SimMat sim(0, 1, 0, 0);
    Match match(&sim, 4, 1, 2.0, true);  // every ratio is at or below 2
    match.img_scaled = img;
    match.cam_scaled = cam;
    const Modifications column = match.matching_core(0);
    EXPECT_EQ(column.shift_y, -4);
    EXPECT_EQ(column.scale_deta, -0.05);
    EXPECT_EQ(column.dif_ratio, match.evaluate_candidate(0, 0, -4));

    const double shifts[] = {0};
    std::promise<Modifications> promise;
    std::future<Modifications> future = promise.get_future();
    match.matching_cell(shifts, 1, promise);
    const Modifications cell = future.get();
    EXPECT_EQ(cell.scale_deta, column.scale_deta);
    EXPECT_EQ(cell.dif_ratio, column.dif_ratio);
    const SearchResult sequential = run_search(img, cam, 4, 1, true, 0, SimMat(0, 1, 0, 0), 2.0);
    for (int threads : {1, 3, 9}) expect_same(run_search(img, cam, 4, 1, true, threads, SimMat(0, 1, 0, 0), 2.0), sequential);
}

TEST(SearchOutcome, NothingBelowOneLeavesTheTransformAndReturnsOne) {
    const cv::Mat img = testimg::blob_binary(40, 40, 9);  // 1600 pixels: never scored
    for (int threads : {0, 4}) {
        const SearchResult r = run_search(img, img, 5, 1, true, threads, SimMat(0, 1.5, 2, 3));
        EXPECT_EQ(r.ratio, 1.0);
        EXPECT_EQ(r.s, 1.5);
        EXPECT_EQ(r.t_x, 2);
        EXPECT_EQ(r.t_y, 3);
    }
}

TEST(SearchErrors, AWorkerErrorTravelsThroughItsPromise) {
    SimMat sim(0, 1, 0, 0);
    Match match(&sim, 2, 1, 0.0, false);  // images left empty: the warp fails
    const double shifts[] = {0, 1};
    std::promise<Modifications> promise;
    std::future<Modifications> future = promise.get_future();
    EXPECT_NO_THROW(match.matching_cell(shifts, 2, promise));
    EXPECT_THROW(future.get(), cv::Exception);
}

TEST(SearchErrors, BadSearchInputIsRejectedBeforeAnyWorkerStarts) {
    SimMat sim(0, 1, 0, 0);
    Match match(&sim, 2, 1, 0.0, false);
    EXPECT_THROW(match.matching_multi(3), pairfit::InvalidInput);
    match.img_scaled = testimg::random_binary(60, 60, 1);
    match.cam_scaled = testimg::random_binary(50, 80, 2);  // wider but shorter
    EXPECT_THROW(match.matching_multi(3), pairfit::InvalidInput);
    EXPECT_THROW(match.matching(), pairfit::InvalidInput);
    match.cam_scaled = match.img_scaled;
    EXPECT_THROW(match.matching_multi(0), pairfit::InvalidInput);
    EXPECT_EQ(sim.t_x, 0);
}
