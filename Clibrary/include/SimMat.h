#pragma once
// A similarity transform (rotation, scale, translation) from the reference
// image onto the camera image, kept in step with its 2x3 matrix.

#include <opencv2/core.hpp>

class SimMat {
public:
    double score = 0.0;  ///< alignment quality; set by the pipeline only
    double theta;        ///< rotation in radians, about the image origin
    double s;            ///< scale factor
    double t_x;          ///< translation along the columns, in pixels
    double t_y;          ///< translation along the rows, in pixels
    cv::Mat mat;         ///< CV_64FC1 2x3 forward map, as cv::warpAffine takes it

    /// Sets the four parameters and builds the matrix.
    SimMat(double Theta, double S, double T_X, double T_Y);

    /// Carries the translation to other images: `scale` is the size of the
    /// images it was measured on over the size of those it will be used on.
    void Matrix_Sim_Scaled(double scale);

    /// A corrected copy; this record is left as it is.
    SimMat Matrix_Sim_Modification(double theta_deta, double s_deta,
                                   double x_deta, double y_deta) const;

    /// Adds the four corrections to this record.
    void SimMat_Modification(double theta_deta, double s_deta,
                             double x_deta, double y_deta);

private:
    // Always a fresh matrix, so copies taken earlier keep their own values.
    void build_matrix();
};
