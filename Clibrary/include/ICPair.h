#pragma once
// One request's image pair and every image derived from it on the way to
// the two aligned crops. No operation writes into the pixels it was handed:
// every change stores a new image in the field.

#include <opencv2/core.hpp>

#include "SimMat.h"

/// The two planes derived from the reference alone.
struct ReferencePlanes {
    cv::Mat gray;  ///< HSV value plane, median-filtered
    cv::Mat bin;   ///< its binary image after the clean-up
};

class ICPair {
public:
    int out_size;    ///< side of the two square aligned images
    bool is_masked;  ///< grey out the camera crop where the warped reference is 0
    cv::Mat img_ori, cam_ori;          ///< the images as given (camera: later bordered)
    cv::Mat img_gray, cam_gray;        ///< HSV value (median 17) / red plane
    cv::Mat img_bin, cam_bin;          ///< black-and-white versions; 127 marks no data
    cv::Mat img_aligned, cam_aligned;  ///< the two out_size x out_size crops

    /// Shares the caller's pixels; nothing is copied or validated.
    ICPair(cv::Mat img, cv::Mat cam, int o_size, bool is_mask);

    /// Binarises the camera image (red > 150), then the reference (Otsu on the
    /// median-filtered value plane, opened, closed and dilated). False when
    /// the camera binary has 10 or fewer white or black pixels; the reference
    /// is then left alone. Throws pairfit::InvalidInput for a reference below
    /// 200 px in either direction.
    bool binarize_ICPair();

    /// The camera half of binarize_ICPair: fills cam_gray and cam_bin and
    /// tells whether the camera binary is usable.
    bool binarize_camera();

    /// The reference half: fills img_gray and img_bin, from `prepared` when
    /// it is not empty (prepare_reference(img_ori) computed beforehand).
    void binarize_reference(const ReferencePlanes& prepared = ReferencePlanes());

    /// The reference's planes as binarize_ICPair derives them: the HSV value
    /// plane median-filtered with aperture 17, and its binary image. Throws
    /// pairfit::InvalidInput for a reference below 200 px in either direction.
    static ReferencePlanes prepare_reference(const cv::Mat& img);

    /// Where camMakeBorder puts a camera image of size `camera` beside a
    /// reference of size `reference`: the rectangle its resized pixels fill
    /// in the bordered image (the camera itself at the origin when it is not
    /// smaller than the reference in either direction).
    static cv::Rect fitted_camera(cv::Size camera, cv::Size reference);

    /// Scales a camera image smaller than the reference in either direction
    /// to fit it and centres it on a no-data border of the reference's size.
    void camMakeBorder();

    /// Reduces both binary images by the factor that brings the reference's
    /// longer side to size_max (1 when it is not longer) and returns it.
    double scaling_ICPair(cv::OutputArray img_scaled, cv::OutputArray cam_scaled, int size_max) const;

    /// Warps the reference with the transform (nearest neighbour, grey fill)
    /// and cuts the centred out_size squares of the warp and of the camera.
    void align_ICPair(SimMat Sim_Mat);

    /// Throws pairfit::InvalidInput unless out_size fits the reference.
    void check_out_size() const;
};
