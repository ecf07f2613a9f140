#include <cmath>

#include <gtest/gtest.h>

#include "SimMat.h"

namespace {

void expect_matrix(const SimMat& m, double a, double b, double c, double d, double e, double f) {
    ASSERT_EQ(m.mat.type(), CV_64FC1);
    ASSERT_EQ(m.mat.rows, 2);
    ASSERT_EQ(m.mat.cols, 3);
    EXPECT_DOUBLE_EQ(m.mat.at<double>(0, 0), a);
    EXPECT_DOUBLE_EQ(m.mat.at<double>(0, 1), b);
    EXPECT_DOUBLE_EQ(m.mat.at<double>(0, 2), c);
    EXPECT_DOUBLE_EQ(m.mat.at<double>(1, 0), d);
    EXPECT_DOUBLE_EQ(m.mat.at<double>(1, 1), e);
    EXPECT_DOUBLE_EQ(m.mat.at<double>(1, 2), f);
}

}  // namespace

TEST(SimMat, StartingTransformIsTheIdentityWithScoreZero) {
    const SimMat m(0, 1, 0, 0);
    expect_matrix(m, 1, 0, 0, 0, 1, 0);
    EXPECT_EQ(m.score, 0.0);
}

TEST(SimMat, MatrixRotatesClockwiseAsSeenAndScalesAboutTheOrigin) {
    const SimMat m(M_PI / 2, 2, 3, 4);
    EXPECT_NEAR(m.mat.at<double>(0, 0), 0, 1e-15);
    EXPECT_NE(m.mat.at<double>(0, 0), 0.0);  // 2*cos(pi/2) is not exactly 0
    EXPECT_DOUBLE_EQ(m.mat.at<double>(0, 1), -2);
    EXPECT_DOUBLE_EQ(m.mat.at<double>(1, 0), 2);
    EXPECT_EQ(m.mat.at<double>(0, 2), 3);
    EXPECT_EQ(m.mat.at<double>(1, 2), 4);
}

TEST(SimMat, ScaledDividesTheTranslationOnly) {
    SimMat m(0.1, 1.5, 10, -4);
    m.score = 0.7;
    m.Matrix_Sim_Scaled(0.5);
    EXPECT_EQ(m.t_x, 20);
    EXPECT_EQ(m.t_y, -8);
    EXPECT_EQ(m.theta, 0.1);
    EXPECT_EQ(m.s, 1.5);
    EXPECT_EQ(m.score, 0.7);
    EXPECT_EQ(m.mat.at<double>(0, 2), 20);
    EXPECT_EQ(m.mat.at<double>(1, 2), -8);
}

TEST(SimMat, ScaledByOneThirdTriplesWholeNumbersExactly) {
    for (int t = -60; t <= 60; ++t) {
        SimMat m(0, 1, t, -t);
        m.Matrix_Sim_Scaled(100.0 / 300.0);
        EXPECT_EQ(m.t_x, 3.0 * t);
        EXPECT_EQ(m.t_y, -3.0 * t);
    }
}

TEST(SimMat, ModificationReturnsACorrectedCopyAndLeavesTheRecord) {
    const SimMat m(0, 1, 10, 10);
    const cv::Mat before = m.mat.clone();
    const SimMat c = m.Matrix_Sim_Modification(0, -0.05, 3, -2);
    EXPECT_EQ(c.s, 0.95);
    EXPECT_EQ(c.t_x, 13);
    EXPECT_EQ(c.t_y, 8);
    expect_matrix(c, 0.95, -0.0, 13, 0, 0.95, 8);
    EXPECT_EQ(m.s, 1);
    EXPECT_EQ(m.t_x, 10);
    EXPECT_EQ(cv::norm(m.mat, before, cv::NORM_INF), 0);
    EXPECT_NE(c.mat.data, m.mat.data);
}

TEST(SimMat, ScaleCorrectionIsAdditive) {
    const SimMat m(0, 2, 0, 0);
    EXPECT_EQ(m.Matrix_Sim_Modification(0, -0.05, 0, 0).s, 2 + -0.05);
}

TEST(SimMat, InPlaceModificationMatchesTheCopyAndKeepsEarlierCopiesApart) {
    SimMat m(0.2, 1.1, 5, 6);
    m.score = 0.4;
    const SimMat earlier = m;
    const SimMat expected = m.Matrix_Sim_Modification(0.01, 0.02, 3, 4);
    m.SimMat_Modification(0.01, 0.02, 3, 4);
    EXPECT_EQ(m.theta, expected.theta);
    EXPECT_EQ(m.s, expected.s);
    EXPECT_EQ(m.t_x, expected.t_x);
    EXPECT_EQ(m.t_y, expected.t_y);
    EXPECT_EQ(cv::norm(m.mat, expected.mat, cv::NORM_INF), 0);
    EXPECT_EQ(m.score, 0.4);
    EXPECT_EQ(earlier.t_x, 5);
    EXPECT_EQ(earlier.mat.at<double>(0, 2), 5);
}

TEST(SimMat, ZeroModificationGivesANewMatrixWithTheSameValues) {
    SimMat m(0, 1, 2, 3);
    const SimMat copy = m;
    m.SimMat_Modification(0, 0, 0, 0);
    EXPECT_NE(m.mat.data, copy.mat.data);
    EXPECT_EQ(cv::norm(m.mat, copy.mat, cv::NORM_INF), 0);
}
