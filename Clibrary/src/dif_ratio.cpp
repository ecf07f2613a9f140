#include "dif_ratio.h"

double dif_ratio(cv::Mat imageA, cv::Mat imageB, cv::Mat roi) {
    cv::Mat match_pixel;
    cv::compare(imageA, imageB, match_pixel, cv::CMP_NE);
    cv::Mat match_pixel_roi;
    cv::bitwise_and(match_pixel, roi, match_pixel_roi);
    const int dif_num = cv::countNonZero(match_pixel_roi);
    const int roi_num = cv::countNonZero(roi);
    return ratio_from_counts(dif_num, roi_num, match_pixel.rows, match_pixel.cols);
}

double ratio_from_counts(int dif_num, int roi_num, int rows, int cols) {
    // Too small a region says nothing about the match: "more than 2500".
    if (roi_num <= 2500) return 1.0;
    const double total_num = static_cast<double>(rows * cols);
    return ((total_num - roi_num) * 0.3) / total_num + static_cast<double>(dif_num) / roi_num;
}
