// The fast paths against the straightforward computations they replace,
// compared to the bit on random cases.

#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "ICPair.h"
#include "Match.h"
#include "fast_search.h"
#include "median_filter.h"
#include "nearest_warp.h"
#include "prepare.h"
#include "test_images.h"
#include "utils.h"
#include "warp_crop.h"

using namespace pairfit::detail;  // the core's inside, tested and timed directly
using pairfit::worker_count;

namespace {

cv::Mat similarity_matrix(double theta, double s, double t_x, double t_y) {
    return SimMat(theta, s, t_x, t_y).mat;
}

std::unique_ptr<FastScorer> scorer_of(const Match& match) {
    return FastScorer::create(*match.Sim_Mat, match.scale_range.get(), match.len_of_scale_range,
                              match.img_scaled, match.cam_scaled);
}

cv::Mat library_warp(const cv::Mat& src, const cv::Mat& m, const cv::Scalar& fill) {
    return testimg::warp_nearest(src, m, src.size(), fill);
}

// A reduced binary image as the search sees it: blobs, with a no-data margin
// on some sides, as a bordered camera image or a warp leaves them.
cv::Mat binary_with_no_data(int rows, int cols, std::mt19937_64& rng) {
    cv::Mat m = testimg::blob_binary(rows, cols, rng());
    const int top = static_cast<int>(rng() % 4) == 0 ? static_cast<int>(rng() % (rows / 4)) : 0;
    const int left = static_cast<int>(rng() % 4) == 0 ? static_cast<int>(rng() % (cols / 4)) : 0;
    m.rowRange(0, top).setTo(127);
    m.colRange(0, left).setTo(127);
    return m;
}

double uniform(std::mt19937_64& rng, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

}  // namespace

TEST(NearestWarpMap, PicksTheSourcePixelsOfTheLibraryWarp) {
    std::mt19937_64 rng(1);
    for (int trial = 0; trial < 60; ++trial) {
        const int rows = 20 + static_cast<int>(rng() % 200);
        const int cols = 20 + static_cast<int>(rng() % 200);
        // Each pixel holds its own coordinates, so the warp shows what it read.
        cv::Mat src(rows, cols, CV_16UC2);
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < cols; ++x) src.at<cv::Vec2w>(y, x) = cv::Vec2w(x, y);
        }
        const double theta = trial % 3 == 0 ? uniform(rng, -0.1, 0.1) : 0.0;
        const cv::Mat m = similarity_matrix(theta, uniform(rng, 0.9, 1.1), uniform(rng, -30, 30),
                                            uniform(rng, -30, 30));
        const cv::Mat warped = library_warp(src, m, cv::Scalar::all(65535));
        const NearestWarp warp(m);
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < cols; ++x) {
                const int sx = warp.source_x(x, y, cols);
                const int sy = warp.source_y(x, y, rows);
                const cv::Vec2w got = warped.at<cv::Vec2w>(y, x);
                if (sx < 0 || sy < 0) {
                    ASSERT_EQ(got, cv::Vec2w(65535, 65535)) << trial << " at " << x << "," << y;
                } else {
                    ASSERT_EQ(got, cv::Vec2w(sx, sy)) << trial << " at " << x << "," << y;
                }
            }
        }
    }
}

TEST(NearestWarpMap, RoundsTiesToEvenLikeTheLibrary) {
    EXPECT_EQ(round_like_opencv(0.5), 0);
    EXPECT_EQ(round_like_opencv(1.5), 2);
    EXPECT_EQ(round_like_opencv(-2.5), -2);
    EXPECT_EQ(round_like_opencv(-2.5000001), -3);
    for (double v : {0.5, 1.5, 2.5, -0.5, -1.5, 1e6 + 0.5, 123.499999, -7.75}) {
        EXPECT_EQ(round_like_opencv(v), cvRound(v)) << v;
    }
}

TEST(WarpCrop, EqualsTheWholeLibraryWarpCropped) {
    std::mt19937_64 rng(2);
    for (int trial = 0; trial < 40; ++trial) {
        const int rows = 50 + static_cast<int>(rng() % 400);
        const int cols = 50 + static_cast<int>(rng() % 400);
        const cv::Mat src = testimg::random_colour(rows, cols, rng());
        const double theta = trial % 4 == 0 ? uniform(rng, -0.05, 0.05) : 0.0;
        const cv::Mat m = similarity_matrix(theta, uniform(rng, 0.93, 1.07), uniform(rng, -60, 60),
                                            uniform(rng, -60, 60));
        const int side = 1 + static_cast<int>(rng() % std::min(rows, cols));
        const cv::Rect rect((cols - side) / 2, (rows - side) / 2, side, side);
        for (const cv::Scalar& fill : {cv::Scalar::all(127), cv::Scalar()}) {
            const cv::Mat expected = library_warp(src, m, fill)(rect);
            ASSERT_TRUE(testimg::identical(warp_crop(src, m, rect, fill), expected)) << trial;
        }
    }
}

TEST(FastScorer, RatiosEqualTheStraightforwardEvaluation) {
    std::mt19937_64 rng(3);
    int compared = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const int rows = 60 + static_cast<int>(rng() % 180);
        const int cols = 60 + static_cast<int>(rng() % 180);
        const int extra_rows = trial % 3 == 0 ? 0 : static_cast<int>(rng() % 30);
        const int extra_cols = trial % 3 == 0 ? 0 : static_cast<int>(rng() % 30);
        SimMat sim(0, uniform(rng, 0.95, 1.05), uniform(rng, -8, 8), uniform(rng, -8, 8));
        Match match(&sim, 6, 2, 0.0, true);
        match.img_scaled = binary_with_no_data(rows, cols, rng);
        match.cam_scaled = binary_with_no_data(rows + extra_rows, cols + extra_cols, rng);
        const std::unique_ptr<FastScorer> scorer = scorer_of(match);
        ASSERT_NE(scorer, nullptr);
        for (int k = 0; k < 6; ++k) {
            const double shift_x = static_cast<double>(static_cast<int>(rng() % 13) - 6);
            const int i = static_cast<int>(rng() % 11);
            const FastScorer::Column column = scorer->column(shift_x, i);
            for (int shift_y = -6; shift_y <= 6; shift_y += 3) {
                ASSERT_EQ(column.ratio(shift_y), match.evaluate_candidate(shift_x, i, shift_y))
                    << "trial " << trial << " shift " << shift_x << "," << shift_y << " scale " << i;
                ++compared;
            }
        }
    }
    EXPECT_EQ(compared, 40 * 6 * 5);
}

TEST(FastScorer, StepsAsideForRotationAndForOtherPixelValues) {
    std::mt19937_64 rng(4);
    SimMat rotated(0.01, 1, 0, 0);
    Match match(&rotated, 2, 1, 0.0, false);
    match.img_scaled = binary_with_no_data(80, 80, rng);
    match.cam_scaled = match.img_scaled.clone();
    EXPECT_EQ(scorer_of(match), nullptr);

    SimMat plain(0, 1, 0, 0);
    Match grey(&plain, 2, 1, 0.0, false);
    grey.img_scaled = match.img_scaled.clone();
    grey.cam_scaled = match.img_scaled.clone();
    ASSERT_NE(scorer_of(grey), nullptr);
    grey.cam_scaled.at<uchar>(5, 5) = 128;
    EXPECT_EQ(scorer_of(grey), nullptr);
}

TEST(FastSearch, ChoosesTheSameCandidateAndTransformAsTheStraightforwardSearch) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 12; ++trial) {
        const int rows = 60 + static_cast<int>(rng() % 60);
        const int cols = 70 + static_cast<int>(rng() % 60);
        const cv::Mat img = binary_with_no_data(rows, cols, rng);
        const cv::Mat cam = trial % 2 ? binary_with_no_data(rows + 7, cols + 3, rng)
                                      : library_warp(img, similarity_matrix(0, 1.02, 3, -4),
                                                     cv::Scalar::all(127));
        const double s0 = uniform(rng, 0.97, 1.03), tx0 = uniform(rng, -3, 3), ty0 = uniform(rng, -3, 3);
        const bool scaling = trial % 3 != 0;
        SimMat fast_sim(0, s0, tx0, ty0), slow_sim(0, s0, tx0, ty0);
        Match fast(&fast_sim, 8, 2, 0.0, scaling), slow(&slow_sim, 8, 2, 0.0, scaling);
        fast.img_scaled = slow.img_scaled = img;
        fast.cam_scaled = slow.cam_scaled = cam;
        slow.fast_scoring = false;
        const int threads = 1 + trial % 6;
        EXPECT_EQ(fast.matching_multi(threads), slow.matching_multi(threads)) << trial;
        EXPECT_EQ(fast.best_modifications.shift_x, slow.best_modifications.shift_x);
        EXPECT_EQ(fast.best_modifications.shift_y, slow.best_modifications.shift_y);
        EXPECT_EQ(fast.best_modifications.scale_deta, slow.best_modifications.scale_deta);
        EXPECT_EQ(fast_sim.s, slow_sim.s);
        EXPECT_EQ(fast_sim.t_x, slow_sim.t_x);
        EXPECT_EQ(fast_sim.t_y, slow_sim.t_y);
    }
}

TEST(Preparation, ValuePlaneIsTheHsvValueForEveryColour) {
    // All 2^24 colours, one per pixel.
    cv::Mat all(4096, 4096, CV_8UC3);
    for (int y = 0; y < 4096; ++y) {
        for (int x = 0; x < 4096; ++x) {
            const int c = y * 4096 + x;
            all.at<cv::Vec3b>(y, x) = cv::Vec3b(c & 255, (c >> 8) & 255, (c >> 16) & 255);
        }
    }
    cv::Mat hsv;
    cv::cvtColor(all, hsv, cv::COLOR_BGR2HSV);
    cv::Mat expected;
    cv::extractChannel(hsv, expected, 2);
    EXPECT_TRUE(testimg::identical(value_plane(all, 3), expected));
}

TEST(Preparation, MedianEqualsTheLibraryMedian) {
    // Noise (every bin in play), smooth gradients (the median walks through
    // neighbouring bins), flat patches and a few levels; sizes below a window,
    // across the column stripes, in several bands.
    std::mt19937_64 rng(6);
    for (int trial = 0; trial < 16; ++trial) {
        const int rows = 1 + static_cast<int>(rng() % 300);
        const int cols = 1 + static_cast<int>(rng() % 900);
        cv::Mat src;
        cv::extractChannel(testimg::random_colour(rows, cols, rng()), src, trial % 3);
        if (trial % 4 == 1) cv::GaussianBlur(src, src, cv::Size(0, 0), 6);
        if (trial % 4 == 2) src = testimg::random_binary(rows, cols, rng()) / 3 + testimg::blob_binary(rows, cols, rng()) / 2;
        if (trial % 4 == 3) src.rowRange(0, rows / 2).setTo(200);
        for (int ksize : {3, 17, 31}) {
            cv::Mat expected;
            cv::medianBlur(src, expected, ksize);
            for (int bands : {1, 2, 7}) {
                ASSERT_TRUE(testimg::identical(median_filter(src, ksize, bands), expected))
                    << rows << "x" << cols << ", window " << ksize << ", " << bands << " bands";
            }
        }
    }
}

TEST(Preparation, OtsuThresholdEqualsTheLibrarysChoice) {
    // Two-tone, one-tone, narrow and wide spreads, and skewed mixtures.
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 60; ++trial) {
        const int rows = 1 + static_cast<int>(rng() % 200);
        const int cols = 1 + static_cast<int>(rng() % 200);
        cv::Mat grey;
        cv::extractChannel(testimg::random_colour(rows, cols, rng()), grey, 0);
        const int low = static_cast<int>(rng() % 256);
        const int high = low + static_cast<int>(rng() % (256 - low));
        grey = grey * ((high - low) / 255.0) + low;
        if (trial % 5 == 1) grey.setTo(low);
        if (trial % 5 == 2) grey.setTo(high, testimg::random_binary(rows, cols, rng()));
        if (trial % 5 == 3) cv::GaussianBlur(grey, grey, cv::Size(0, 0), 3);
        cv::Mat ignored;
        const double expected = cv::threshold(grey, ignored, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
        ASSERT_EQ(otsu_threshold(histogram_in_bands(grey, 1 + trial % 3)), expected)
            << rows << "x" << cols << ", values " << low << " to " << high;
    }
}

TEST(Preparation, BandedCleanUpEqualsTheWholeImageCalls) {
    std::mt19937_64 rng(8);
    for (int trial = 0; trial < 12; ++trial) {
        const int rows = 1 + static_cast<int>(rng() % 700);
        const int cols = 1 + static_cast<int>(rng() % 700);
        // Grey blobs with sparse bright specks (one pixel in eight) for the opening to remove.
        cv::Mat speckled = testimg::blob_binary(rows, cols, rng()) / 2 + testimg::random_binary(rows, cols, rng()) / 4;
        const cv::Mat specks = testimg::random_binary(rows, cols, rng()) &
                               testimg::random_binary(rows, cols, rng()) &
                               testimg::random_binary(rows, cols, rng());
        speckled.setTo(255, specks);
        const int threshold = static_cast<int>(rng() % 256);
        // Even and odd sizes (the anchors of even-sized elements are off
        // centre), one pixel, and wider than a word of bits.
        const cv::Size small(1 + cols / 200 + trial % 3, 1 + rows / 200 + trial % 2);
        const cv::Size large = trial % 4 == 3 ? cv::Size(70 + trial, 1) : cv::Size(1 + cols / 100 + trial % 2, rows / 100 + 1);
        cv::Mat expected;
        cv::threshold(speckled, expected, threshold, 255, cv::THRESH_BINARY);
        cv::morphologyEx(expected, expected, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, small));
        cv::morphologyEx(expected, expected, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, small));
        cv::dilate(expected, expected, cv::getStructuringElement(cv::MORPH_RECT, large));
        for (int bands : {1, 2, 5, 13}) {
            ASSERT_TRUE(testimg::identical(open_close_dilate_in_bands(speckled, threshold, small, large, bands), expected))
                << rows << "x" << cols << " in " << bands << " bands, elements " << small << " and " << large;
        }
    }
}

TEST(Preparation, BandErrorsReachTheCallerAfterEveryBandEnded) {
    std::vector<int> done(4, 0);
    EXPECT_THROW(pairfit::for_each_band(100, 4,
                               [&](int first, int) {
                                   done[first / 25] = 1;
                                   if (first == 50) throw std::runtime_error("band failed");
                               }),
                 std::runtime_error);
    EXPECT_EQ(done, (std::vector<int>{1, 1, 1, 1}));
}

TEST(FinalWarp, AlignedPairEqualsTheWholeWarpCroppedAndMasked) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 6; ++trial) {
        const cv::Mat img = testimg::document_colour(300 + trial * 37, 320 + trial * 23, rng());
        cv::Mat img_with_red_zero = img.clone();
        img_with_red_zero(cv::Rect(40, 40, 30, 30)).setTo(cv::Scalar(90, 90, 0));
        const cv::Mat cam = testimg::random_colour(280 + trial * 41, 360, rng());
        const SimMat sim(trial == 5 ? 0.02 : 0.0, uniform(rng, 0.95, 1.05), uniform(rng, -40, 40),
                         uniform(rng, -40, 40));
        ICPair pair(img_with_red_zero, cam, 150 + trial * 10, trial % 2 == 0);
        ASSERT_TRUE(pair.binarize_ICPair());
        pair.camMakeBorder();
        pair.align_ICPair(sim);

        const cv::Rect rect_img((img.cols - pair.out_size) / 2, (img.rows - pair.out_size) / 2,
                                pair.out_size, pair.out_size);
        const cv::Rect rect_cam((pair.cam_ori.cols - pair.out_size) / 2,
                                (pair.cam_ori.rows - pair.out_size) / 2, pair.out_size, pair.out_size);
        const cv::Mat grey = library_warp(img_with_red_zero, sim.mat, cv::Scalar::all(127))(rect_img);
        const cv::Mat black = library_warp(img_with_red_zero, sim.mat, cv::Scalar())(rect_img);
        cv::Mat cam_expected = pair.cam_ori(rect_cam);
        if (pair.is_masked) Get_Mask_ROI(black, pair.cam_ori(rect_cam), cam_expected, 0, 127);
        EXPECT_TRUE(testimg::identical(pair.img_aligned, grey)) << trial;
        EXPECT_TRUE(testimg::identical(pair.cam_aligned, cam_expected)) << trial;
    }
}
