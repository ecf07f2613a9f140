#include <gtest/gtest.h>

#include "test_images.h"
#include "utils.h"

TEST(MaskROI, SingleChannelCountsPixelsWithDataInBothImages) {
    const cv::Mat img = (cv::Mat_<uchar>(1, 3) << 0, 127, 255);
    const cv::Mat cam = (cv::Mat_<uchar>(1, 3) << 127, 255, 255);
    cv::Mat dst;
    const cv::Mat roi = Get_Mask_ROI(img, cam, dst, 127, 127);
    EXPECT_TRUE(testimg::identical(roi, (cv::Mat_<uchar>(1, 3) << 0, 0, 255)));
    EXPECT_TRUE(testimg::identical(dst, (cv::Mat_<uchar>(1, 3) << 127, 127, 255)));
}

TEST(MaskROI, ThreeChannelsLookAtTheRedPlaneOfTheReferenceOnly) {
    cv::Mat img(1, 3, CV_8UC3);
    img.at<cv::Vec3b>(0, 0) = cv::Vec3b(10, 20, 0);  // red 0: excluded
    img.at<cv::Vec3b>(0, 1) = cv::Vec3b(0, 0, 5);    // red 5: counts
    img.at<cv::Vec3b>(0, 2) = cv::Vec3b(0, 0, 9);
    cv::Mat cam(1, 3, CV_8UC3);
    cam.at<cv::Vec3b>(0, 0) = cv::Vec3b(1, 2, 3);
    cam.at<cv::Vec3b>(0, 1) = cv::Vec3b(0, 0, 0);  // copied unchanged
    cam.at<cv::Vec3b>(0, 2) = cv::Vec3b(7, 8, 9);
    cv::Mat dst;
    const cv::Mat roi = Get_Mask_ROI(img, cam, dst, 0, 127);
    EXPECT_TRUE(testimg::identical(roi, (cv::Mat_<uchar>(1, 3) << 0, 255, 255)));
    EXPECT_EQ(dst.at<cv::Vec3b>(0, 0), cv::Vec3b(127, 127, 127));  // the fill, not the mask value
    EXPECT_EQ(dst.at<cv::Vec3b>(0, 1), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(dst.at<cv::Vec3b>(0, 2), cv::Vec3b(7, 8, 9));
}

TEST(MaskROI, MixedChannelCountsLeaveTheOutputAlone) {
    const cv::Mat img(4, 4, CV_8UC1, cv::Scalar(9));
    const cv::Mat cam(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
    cv::Mat dst(2, 2, CV_8UC1, cv::Scalar(42));
    const uchar* before = dst.data;
    const cv::Mat roi = Get_Mask_ROI(img, cam, dst, 5, 127);
    EXPECT_EQ(dst.data, before);
    EXPECT_EQ(dst.at<uchar>(0, 0), 42);
    EXPECT_EQ(cv::countNonZero(roi != 5), 0);
}

TEST(MaskROI, OutputIsANewImageEveryTimeAndNeverSharesTheCamera) {
    const cv::Mat img = testimg::random_binary(20, 20, 7);
    const cv::Mat cam = testimg::random_binary(20, 20, 8);
    const cv::Mat cam0 = cam.clone();
    cv::Mat dst(20, 20, CV_8UC1, cv::Scalar(1));
    cv::Mat held = dst;  // another holder of the old buffer
    Get_Mask_ROI(img, cam, dst, 127, 127);
    EXPECT_NE(dst.data, held.data);
    EXPECT_EQ(cv::countNonZero(held != 1), 0);
    EXPECT_NE(dst.data, cam.data);
    EXPECT_TRUE(testimg::identical(cam, cam0));
}
