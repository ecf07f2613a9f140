#include "dif_ratio.h"

#include <opencv2/imgproc.hpp>

#include "Match.h"
#include "pairfit/core.h"
#include "utils.h"

double dif_ratio(cv::Mat imageA, cv::Mat imageB, cv::Mat roi) {
    cv::Mat match_pixel;
    cv::compare(imageA, imageB, match_pixel, cv::CMP_NE);
    cv::Mat match_pixel_roi;
    cv::bitwise_and(match_pixel, roi, match_pixel_roi);
    const int dif_num = cv::countNonZero(match_pixel_roi);
    const int roi_num = cv::countNonZero(roi);
    return pairfit::detail::ratio_from_counts(dif_num, roi_num, match_pixel.rows, match_pixel.cols);
}

namespace pairfit {

double masked_ratio(const cv::Mat& reference, const cv::Mat& camera, const SimMat& map) {
    cv::Mat img_warped;
    cv::warpAffine(reference, img_warped, map.mat, reference.size(), cv::INTER_NEAREST,
                   cv::BORDER_CONSTANT, cv::Scalar(kNoData, kNoData, kNoData, 0));
    cv::Mat cam_cropped = camera;
    if (camera.cols > img_warped.cols || camera.rows > img_warped.rows) {
        const cv::Rect rect_cam((camera.cols - img_warped.cols) / 2, (camera.rows - img_warped.rows) / 2,
                                img_warped.cols, img_warped.rows);
        cam_cropped = camera(rect_cam);
    }
    cv::Mat masked_cam;
    const cv::Mat roi = Get_Mask_ROI(img_warped, cam_cropped, masked_cam, kNoData, kNoData);
    return dif_ratio(img_warped, masked_cam, roi);
}

}  // namespace pairfit

namespace pairfit::detail {

double ratio_from_counts(int dif_num, int roi_num, int rows, int cols) {
    // Too small a region says nothing about the match: "more than 2500".
    if (roi_num <= 2500) return 1.0;
    const double total_num = static_cast<double>(rows * cols);
    return ((total_num - roi_num) * 0.3) / total_num + static_cast<double>(dif_num) / roi_num;
}

}  // namespace pairfit::detail
