#include "nearest_warp.h"

#include <cmath>

namespace pairfit::detail {

void similarity_coefficients(double theta, double s, double t_x, double t_y, double out[6]) {
    out[0] = s * std::cos(theta);
    out[1] = (-s) * std::sin(theta);
    out[2] = t_x;
    out[3] = s * std::sin(theta);
    out[4] = s * std::cos(theta);
    out[5] = t_y;
}

NearestWarp::NearestWarp(const double forward[6]) {
    double M[6];
    for (int k = 0; k < 6; ++k) M[k] = forward[k];
    // OpenCV's inversion, operation for operation.
    double D = M[0] * M[4] - M[1] * M[3];
    D = D != 0 ? 1. / D : 0;
    const double A11 = M[4] * D, A22 = M[0] * D;
    M[0] = A11;
    M[1] *= -D;
    M[3] *= -D;
    M[4] = A22;
    const double b1 = -M[0] * M[2] - M[1] * M[5];
    const double b2 = -M[3] * M[2] - M[4] * M[5];
    M[2] = b1;
    M[5] = b2;
    for (int k = 0; k < 6; ++k) m_[k] = M[k];
}

NearestWarp::NearestWarp(const cv::Mat& forward) {
    CV_Assert(forward.rows == 2 && forward.cols == 3 && forward.type() == CV_64FC1);
    double f[6];
    for (int k = 0; k < 6; ++k) f[k] = forward.at<double>(k / 3, k % 3);
    *this = NearestWarp(f);
}

}  // namespace pairfit::detail
