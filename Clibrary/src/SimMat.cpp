#include "SimMat.h"

#include "nearest_warp.h"

SimMat::SimMat(double Theta, double S, double T_X, double T_Y)
    : theta(Theta), s(S), t_x(T_X), t_y(T_Y) {
    build_matrix();
}

void SimMat::build_matrix() {
    cv::Mat fresh(2, 3, CV_64FC1);
    pairfit::detail::similarity_coefficients(theta, s, t_x, t_y, fresh.ptr<double>(0));
    mat = fresh;
}

void SimMat::Matrix_Sim_Scaled(double scale) {
    // Division, not multiplication by the reciprocal: 1/3 must triple
    // whole-number translations exactly.
    t_x = t_x / scale;
    t_y = t_y / scale;
    build_matrix();
}

SimMat SimMat::Matrix_Sim_Modification(double theta_deta, double s_deta,
                                       double x_deta, double y_deta) const {
    return SimMat(theta + theta_deta, s + s_deta, t_x + x_deta, t_y + y_deta);
}

void SimMat::SimMat_Modification(double theta_deta, double s_deta,
                                 double x_deta, double y_deta) {
    theta = theta + theta_deta;
    s = s + s_deta;
    t_x = t_x + x_deta;
    t_y = t_y + y_deta;
    build_matrix();
}
