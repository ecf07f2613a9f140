#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "ICPair.h"
#include "errors.h"
#include "test_images.h"

namespace {

// A camera image whose red plane has `white` pixels above 150 and the rest at 150.
cv::Mat camera_with_white(int rows, int cols, int white) {
    cv::Mat cam(rows, cols, CV_8UC3, cv::Scalar(0, 0, 150));
    for (int k = 0; k < white; ++k) cam.at<cv::Vec3b>(k / cols, k % cols) = cv::Vec3b(0, 0, 151);
    return cam;
}

ICPair binarised_pair(cv::Mat img, cv::Mat cam, int out_size = 100, bool masked = true) {
    ICPair pair(img, cam, out_size, masked);
    EXPECT_TRUE(pair.binarize_ICPair());
    pair.camMakeBorder();
    return pair;
}

// camMakeBorder needs only the original images and the camera planes.
ICPair pair_for_border(int img_rows, int img_cols, int cam_rows, int cam_cols) {
    ICPair pair(cv::Mat(img_rows, img_cols, CV_8UC3, cv::Scalar(0, 0, 0)),
                testimg::random_colour(cam_rows, cam_cols, 11), 100, true);
    pair.binarize_ICPair();
    return pair;
}

}  // namespace

TEST(Binarize, CameraNeedsElevenWhiteAndElevenBlackPixels) {
    const cv::Mat img = testimg::document_colour(200, 200, 1);
    for (int white : {0, 10}) {
        ICPair pair(img, camera_with_white(50, 50, white), 100, true);
        EXPECT_FALSE(pair.binarize_ICPair()) << white;
        EXPECT_TRUE(pair.img_gray.empty());
        EXPECT_TRUE(pair.img_bin.empty());
        EXPECT_FALSE(pair.cam_bin.empty());
    }
    for (int black : {0, 10}) {
        ICPair pair(img, camera_with_white(50, 50, 2500 - black), 100, true);
        EXPECT_FALSE(pair.binarize_ICPair()) << black;
    }
    ICPair eleven(img, camera_with_white(50, 50, 11), 100, true);
    EXPECT_TRUE(eleven.binarize_ICPair());
    EXPECT_EQ(eleven.cam_bin.at<uchar>(0, 0), 255);  // 151 is white
    EXPECT_EQ(eleven.cam_bin.at<uchar>(49, 49), 0);  // 150 is black
}

TEST(Binarize, CameraUsesTheRedPlaneNotLuminance) {
    cv::Mat cam(30, 30, CV_8UC3, cv::Scalar(255, 255, 0));  // bright but no red
    cam(cv::Rect(0, 0, 30, 10)).setTo(cv::Scalar(0, 0, 200));
    ICPair pair(testimg::document_colour(200, 200, 2), cam, 100, true);
    ASSERT_TRUE(pair.binarize_ICPair());
    EXPECT_EQ(cv::countNonZero(pair.cam_bin), 300);
}

TEST(Binarize, ReferenceIsTheMedianFilteredValuePlane) {
    const cv::Mat img = testimg::random_colour(210, 220, 3);
    ICPair pair(img, camera_with_white(20, 20, 100), 100, true);
    ASSERT_TRUE(pair.binarize_ICPair());
    cv::Mat hsv;
    cv::cvtColor(img, hsv, cv::COLOR_BGR2HSV);
    cv::Mat value;
    cv::extractChannel(hsv, value, 2);
    cv::Mat expected;
    cv::medianBlur(value, expected, 17);
    EXPECT_TRUE(testimg::identical(pair.img_gray, expected));
    EXPECT_EQ(cv::countNonZero((pair.img_bin != 0) & (pair.img_bin != 255)), 0);
}

TEST(Binarize, ReferenceOf200PixelsWorksAnd199IsRejectedWithItsSize) {
    const cv::Mat cam = camera_with_white(20, 20, 100);
    ICPair ok(testimg::document_colour(200, 200, 4), cam, 100, true);
    EXPECT_TRUE(ok.binarize_ICPair());
    ICPair narrow(testimg::document_colour(300, 199, 4), cam, 100, true);
    try {
        narrow.binarize_ICPair();
        FAIL() << "a 199-px reference must be rejected";
    } catch (const pairfit::InvalidInput& e) {
        EXPECT_NE(std::string(e.what()).find("199x300"), std::string::npos) << e.what();
    }
}

TEST(Binarize, SettingsDoNotInfluenceTheBinaries) {
    const cv::Mat img = testimg::document_colour(240, 260, 5);
    const cv::Mat cam = testimg::random_colour(240, 260, 6);
    ICPair a(img, cam, 10, true), b(img, cam, 200, false);
    a.binarize_ICPair();
    b.binarize_ICPair();
    EXPECT_TRUE(testimg::identical(a.img_bin, b.img_bin));
    EXPECT_TRUE(testimg::identical(a.cam_bin, b.cam_bin));
}

TEST(CamBorder, SmallerCameraIsScaledAndCentredOnGrey) {
    ICPair pair = pair_for_border(2000, 2000, 750, 1000);
    pair.camMakeBorder();
    ASSERT_EQ(pair.cam_ori.size(), cv::Size(2000, 2000));
    ASSERT_EQ(pair.cam_bin.size(), cv::Size(2000, 2000));
    ASSERT_EQ(pair.cam_gray.size(), cv::Size(2000, 2000));
    // 1500 rows of content, 250 of border above and below.
    EXPECT_EQ(pair.cam_bin.at<uchar>(249, 1000), 127);
    EXPECT_NE(pair.cam_bin.at<uchar>(250, 1000), 127);
    EXPECT_NE(pair.cam_bin.at<uchar>(1749, 1000), 127);
    EXPECT_EQ(pair.cam_bin.at<uchar>(1750, 1000), 127);
    EXPECT_EQ(pair.cam_gray.at<uchar>(0, 0), 0);
    EXPECT_EQ(pair.cam_ori.at<cv::Vec3b>(1999, 0), cv::Vec3b(127, 127, 127));
}

TEST(CamBorder, FittedSizeTruncatesAndTheBorderIsSplitEvenly) {
    ICPair lower = pair_for_border(1000, 1000, 800, 1200);
    lower.camMakeBorder();
    // 1000 x 666 (666.67 truncated), 167 rows above and 167 below.
    EXPECT_EQ(lower.cam_bin.at<uchar>(166, 500), 127);
    EXPECT_NE(lower.cam_bin.at<uchar>(167, 500), 127);
    EXPECT_NE(lower.cam_bin.at<uchar>(832, 500), 127);
    EXPECT_EQ(lower.cam_bin.at<uchar>(833, 500), 127);
}

TEST(CamBorder, DifferenceOfFiveGivesTwoBeforeAndThreeAfter) {
    // Equal scale on both axes is 1 when the camera is already as wide.
    ICPair rows = pair_for_border(305, 300, 300, 300);
    rows.camMakeBorder();
    EXPECT_EQ(rows.cam_bin.at<uchar>(1, 10), 127);
    EXPECT_NE(rows.cam_bin.at<uchar>(2, 10), 127);
    EXPECT_NE(rows.cam_bin.at<uchar>(301, 10), 127);
    EXPECT_EQ(rows.cam_bin.at<uchar>(302, 10), 127);
    ICPair cols = pair_for_border(300, 305, 300, 300);
    cols.camMakeBorder();
    EXPECT_EQ(cols.cam_bin.at<uchar>(10, 1), 127);
    EXPECT_NE(cols.cam_bin.at<uchar>(10, 2), 127);
    EXPECT_EQ(cols.cam_bin.at<uchar>(10, 302), 127);
}

TEST(CamBorder, LargerCameraIsLeftUntouched) {
    ICPair pair = pair_for_border(300, 300, 900, 1200);
    const uchar* before = pair.cam_ori.data;
    pair.camMakeBorder();
    EXPECT_EQ(pair.cam_ori.data, before);
    EXPECT_EQ(pair.cam_ori.size(), cv::Size(1200, 900));
}

TEST(Scaling, FactorComesFromTheReferenceAndSizesTruncate) {
    ICPair pair(cv::Mat(), cv::Mat(), 100, true);
    pair.img_bin = testimg::random_binary(3000, 4000, 1);
    pair.cam_bin = testimg::random_binary(3001, 4100, 2);
    cv::Mat img_s, cam_s;
    EXPECT_EQ(pair.scaling_ICPair(img_s, cam_s, 100), 0.025);
    EXPECT_EQ(img_s.size(), cv::Size(100, 75));
    EXPECT_EQ(cam_s.size(), cv::Size(102, 75));  // 102.5 and 75.025 truncated
    EXPECT_EQ(pair.scaling_ICPair(img_s, cam_s, 300), 0.075);
    EXPECT_EQ(img_s.size(), cv::Size(300, 225));

    pair.img_bin = testimg::random_binary(333, 1000, 3);
    pair.cam_bin = pair.img_bin;
    pair.scaling_ICPair(img_s, cam_s, 100);
    EXPECT_EQ(img_s.size(), cv::Size(100, 33));
}

TEST(Scaling, LongerSideEqualToTheLimitGivesFullSizeCopies) {
    ICPair pair(cv::Mat(), cv::Mat(), 100, true);
    pair.img_bin = testimg::random_binary(200, 300, 4);
    pair.cam_bin = testimg::random_binary(250, 320, 5);
    cv::Mat img_s, cam_s;
    EXPECT_EQ(pair.scaling_ICPair(img_s, cam_s, 300), 1.0);
    EXPECT_TRUE(testimg::identical(img_s, pair.img_bin));
    EXPECT_TRUE(testimg::identical(cam_s, pair.cam_bin));
    EXPECT_NE(img_s.data, pair.img_bin.data);
}

TEST(Scaling, ElongatedImageThatWouldReachZeroPixelsIsRejected) {
    ICPair pair(cv::Mat(), cv::Mat(), 100, true);
    pair.img_bin = testimg::random_binary(200, 30000, 6);
    pair.cam_bin = pair.img_bin;
    cv::Mat img_s, cam_s;
    EXPECT_THROW(pair.scaling_ICPair(img_s, cam_s, 100), pairfit::InvalidInput);
}

TEST(AlignPair, WarpMapsReferenceToCameraFrameWithGreyFill) {
    const cv::Mat img = testimg::coordinate_colour(300, 400);
    ICPair pair = binarised_pair(img, testimg::random_colour(300, 400, 9), 200, false);
    pair.align_ICPair(SimMat(0, 1, 7, -5));
    // rect at x 100, y 50; warped(x, y) = ref(x - 7, y + 5); beyond the
    // reference's last row the warp is grey.
    const cv::Vec3b got = pair.img_aligned.at<cv::Vec3b>(10, 20);
    EXPECT_EQ(got, img.at<cv::Vec3b>(50 + 10 + 5, 100 + 20 - 7));
    EXPECT_EQ(pair.img_aligned.at<cv::Vec3b>(199, 20), img.at<cv::Vec3b>(254, 113));
    ICPair far = binarised_pair(img, testimg::random_colour(300, 400, 9), 200, false);
    far.align_ICPair(SimMat(0, 1, 0, -150));
    EXPECT_EQ(far.img_aligned.at<cv::Vec3b>(199, 0), cv::Vec3b(127, 127, 127));
    EXPECT_EQ(far.img_aligned.at<cv::Vec3b>(99, 0), img.at<cv::Vec3b>(50 + 99 + 150, 100));
}

TEST(AlignPair, CropsAreCentredAndLeaveTheExtraColumnOnTheRight) {
    const cv::Mat img = testimg::coordinate_colour(700, 1001);
    const cv::Mat cam = testimg::coordinate_colour(800, 1200);
    ICPair pair = binarised_pair(img, cam, 600, false);
    pair.align_ICPair(SimMat(0, 1, 0, 0));
    ASSERT_EQ(pair.img_aligned.size(), cv::Size(600, 600));
    EXPECT_EQ(pair.img_aligned.at<cv::Vec3b>(0, 0), img.at<cv::Vec3b>(50, 200));
    EXPECT_EQ(pair.img_aligned.at<cv::Vec3b>(599, 599), img.at<cv::Vec3b>(649, 799));
    EXPECT_EQ(pair.cam_aligned.at<cv::Vec3b>(0, 0), cam.at<cv::Vec3b>(100, 300));
    EXPECT_EQ(pair.cam_aligned.size(), cv::Size(600, 600));
}

TEST(AlignPair, MaskingGreysTheCameraWhereTheWarpedReferenceHasNoRed) {
    cv::Mat img = testimg::document_colour(300, 300, 12);
    img(cv::Rect(100, 100, 20, 20)).setTo(cv::Scalar(200, 200, 0));  // red 0 inside the reference
    const cv::Mat cam = testimg::random_colour(300, 300, 13);
    ICPair masked = binarised_pair(img, cam, 300, true);
    masked.align_ICPair(SimMat(0, 1, 30, 0));
    ICPair open = binarised_pair(img, cam, 300, false);
    open.align_ICPair(SimMat(0, 1, 30, 0));
    EXPECT_TRUE(testimg::identical(open.cam_aligned, cam));
    const cv::Vec3b grey(127, 127, 127);
    EXPECT_EQ(masked.cam_aligned.at<cv::Vec3b>(150, 10), grey);   // left of the shifted warp
    EXPECT_EQ(masked.cam_aligned.at<cv::Vec3b>(110, 140), grey);  // red 0 at (110, 110) + 30
    EXPECT_EQ(masked.cam_aligned.at<cv::Vec3b>(150, 200), cam.at<cv::Vec3b>(150, 200));
}

TEST(AlignPair, OutSizeLargerThanTheReferenceIsRejectedWithBothSizes) {
    ICPair pair = binarised_pair(testimg::document_colour(250, 400, 14),
                                 testimg::random_colour(250, 400, 15), 300, true);
    try {
        pair.align_ICPair(SimMat(0, 1, 0, 0));
        FAIL();
    } catch (const pairfit::InvalidInput& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("300"), std::string::npos);
        EXPECT_NE(what.find("400x250"), std::string::npos);
    }
}

TEST(AlignPair, NoOperationWritesIntoTheImagesItWasHanded) {
    const cv::Mat img = testimg::document_colour(400, 500, 16);
    const cv::Mat cam = testimg::random_colour(300, 350, 17);
    const cv::Mat img0 = img.clone(), cam0 = cam.clone();
    ICPair pair(img, cam, 200, true);
    ASSERT_TRUE(pair.binarize_ICPair());
    pair.camMakeBorder();
    cv::Mat a, b;
    pair.scaling_ICPair(a, b, 100);
    pair.scaling_ICPair(a, b, 300);
    pair.align_ICPair(SimMat(0, 1.02, 3, 4));
    EXPECT_TRUE(testimg::identical(img, img0));
    EXPECT_TRUE(testimg::identical(cam, cam0));

    // Same camera size as the reference: nothing is resized, still nothing written.
    const cv::Mat same = testimg::random_colour(400, 500, 18);
    const cv::Mat same0 = same.clone();
    ICPair pair2(img, same, 200, false);
    ASSERT_TRUE(pair2.binarize_ICPair());
    pair2.camMakeBorder();
    pair2.align_ICPair(SimMat(0, 1, 0, 0));
    EXPECT_TRUE(testimg::identical(same, same0));
}
