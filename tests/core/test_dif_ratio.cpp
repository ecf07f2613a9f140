#include <gtest/gtest.h>

#include "Match.h"
#include "dif_ratio.h"
#include "test_images.h"

using namespace pairfit::detail;  // the core's inside, tested and timed directly

namespace {

cv::Mat region_of(int pixels, int rows = 100, int cols = 100, uchar inside = 255) {
    cv::Mat roi(rows, cols, CV_8UC1, cv::Scalar(0));
    for (int k = 0; k < pixels; ++k) roi.at<uchar>(k / cols, k % cols) = inside;
    return roi;
}

}  // namespace

TEST(DifRatio, RegionsOf2500PixelsOrFewerScoreOne) {
    const cv::Mat a = testimg::random_binary(100, 100, 1);
    EXPECT_EQ(dif_ratio(a, a, region_of(0)), 1.0);
    EXPECT_EQ(dif_ratio(a, a, region_of(2500)), 1.0);
    EXPECT_LT(dif_ratio(a, a, region_of(2501)), 1.0);
}

TEST(DifRatio, IdenticalImagesOverTheWholeImageScoreZero) {
    const cv::Mat a = testimg::random_binary(80, 90, 2);
    EXPECT_EQ(dif_ratio(a, a.clone(), cv::Mat(80, 90, CV_8UC1, cv::Scalar(255))), 0.0);
}

TEST(DifRatio, WorkedExamples) {
    cv::Mat a(100, 100, CV_8UC1, cv::Scalar(0));
    cv::Mat b = a.clone();
    for (int k = 0; k < 500; ++k) b.at<uchar>(k / 100, k % 100) = 255;
    EXPECT_DOUBLE_EQ(dif_ratio(a, b, region_of(5000)), 0.25);

    cv::Mat all_differ(100, 100, CV_8UC1, cv::Scalar(255));
    EXPECT_NEAR(dif_ratio(a, all_differ, region_of(2501)), 1.22497, 1e-12);
}

TEST(DifRatio, EvaluatesThePenaltyAsDifferenceTimesPointThreeOverTotal) {
    // Find a region size where a different association of the penalty would
    // change the last bit, and check that the defined order is the one used.
    const cv::Mat a(97, 103, CV_8UC1, cv::Scalar(0));
    const double total = 97.0 * 103.0;
    int checked = 0;
    for (int roi_num = 2501; roi_num < 97 * 103 && checked < 5; roi_num += 37) {
        const double defined = ((total - roi_num) * 0.3) / total;
        const double other = 0.3 * ((total - roi_num) / total);
        if (defined == other) continue;
        ++checked;
        EXPECT_EQ(dif_ratio(a, a, region_of(roi_num, 97, 103)), defined + 0.0) << roi_num;
    }
    EXPECT_GT(checked, 0);
}

TEST(DifRatio, DifferencesOutsideTheRegionDoNotCount) {
    const cv::Mat a = testimg::random_binary(100, 100, 3);
    cv::Mat b = a.clone();
    const cv::Mat roi = region_of(6000);
    for (int x = 0; x < 100; ++x) b.at<uchar>(99, x) = 255 - b.at<uchar>(99, x);
    EXPECT_EQ(dif_ratio(a, b, roi), dif_ratio(a, a, roi));
}

TEST(DifRatio, AnyNonZeroRegionValueCountsAndAnyInequalityDiffers) {
    const cv::Mat a(100, 100, CV_8UC1, cv::Scalar(255));
    cv::Mat b = a.clone();
    b(cv::Rect(0, 0, 100, 10)).setTo(127);
    EXPECT_EQ(dif_ratio(a, b, region_of(5000, 100, 100, 1)), dif_ratio(a, b, region_of(5000)));
    EXPECT_DOUBLE_EQ(dif_ratio(a, b, region_of(5000)), 0.15 + 1000.0 / 5000.0);
}

TEST(DifRatio, LeavesItsArgumentsUnchanged) {
    const cv::Mat a = testimg::random_binary(60, 70, 4);
    const cv::Mat b = testimg::random_binary(60, 70, 5);
    const cv::Mat roi = testimg::random_binary(60, 70, 6);
    const cv::Mat a0 = a.clone(), b0 = b.clone(), r0 = roi.clone();
    dif_ratio(a, b, roi);
    EXPECT_TRUE(testimg::identical(a, a0));
    EXPECT_TRUE(testimg::identical(b, b0));
    EXPECT_TRUE(testimg::identical(roi, r0));
}
