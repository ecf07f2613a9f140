#include "ICPair.h"

#include <algorithm>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "errors.h"
#include "pairfit/interruption.h"
#include "median_filter.h"
#include "pairfit/core.h"
#include "prepare.h"
#include "utils.h"
#include "warp_crop.h"

using pairfit::kMinReferenceSide;
using pairfit::kNoData;
using pairfit::size_text;
using pairfit::worker_count;
namespace detail = pairfit::detail;

namespace {

const double kCamThreshold = 150;
const int kMinUniformPixels = 10;  // a usable camera binary has more of each colour
const int kMedianAperture = 17;
// A band of the camera's binarisation: a few milliseconds of work at the
// widest images OpenCV decodes.
const int kCameraBandRows = 256;

// Truncation toward zero, as the size arithmetic of the pair always does.
cv::Size scaled_size(const cv::Mat& m, double scale) {
    return cv::Size(static_cast<int>(m.cols * scale), static_cast<int>(m.rows * scale));
}

void require_nonempty_size(const cv::Size& size, const cv::Mat& from, const char* what) {
    if (size.width <= 0 || size.height <= 0) {
        throw pairfit::InvalidInput(std::string(what) + " of " + size_text(from.size()) +
                                    " px is too elongated: scaling it gives " +
                                    size_text(size) + " px");
    }
}

cv::Mat resized(const cv::Mat& src, const cv::Size& size, int interpolation, const char* what) {
    require_nonempty_size(size, src, what);
    cv::Mat dst;
    cv::resize(src, dst, size, 0, 0, interpolation);
    return dst;
}

cv::Mat bordered(const cv::Mat& src, int top, int bottom, int left, int right,
                 const cv::Scalar& value) {
    cv::Mat dst;
    cv::copyMakeBorder(src, dst, top, bottom, left, right, cv::BORDER_CONSTANT, value);
    return dst;
}

cv::Mat threshold_and_clean_up(const cv::Mat& img_gray) {
    // Otsu's threshold, its histogram counted on every core.
    const int otsu = detail::otsu_threshold(detail::histogram_in_bands(img_gray, worker_count()));
    const cv::Size small(img_gray.cols / 200, img_gray.rows / 200);
    const cv::Size large(img_gray.cols / 100, img_gray.rows / 100);
    // Remove specks and close gaps of about 1/200 of the image, then grow
    // the white areas so that thin strokes survive the search's reduction.
    return detail::open_close_dilate_in_bands(img_gray, otsu, small, large, worker_count());
}

}  // namespace

ICPair::ICPair(cv::Mat img, cv::Mat cam, int o_size, bool is_mask)
    : out_size(o_size), is_masked(is_mask), img_ori(img), cam_ori(cam) {}

ReferencePlanes ICPair::prepare_reference(const cv::Mat& img) {
    if (img.cols < kMinReferenceSide || img.rows < kMinReferenceSide) {
        throw pairfit::InvalidInput("reference image is " + size_text(img.size()) +
                                    " px; it must be at least " +
                                    std::to_string(kMinReferenceSide) + " px in each direction");
    }
    // Only the value plane of the HSV image is used, and the median filter
    // dominates the cost of the whole request: both run in bands on every core.
    const int bands = worker_count();
    ReferencePlanes planes;
    planes.gray = detail::median_of_padded(detail::value_plane(img, bands, kMedianAperture / 2), kMedianAperture, bands);
    planes.bin = threshold_and_clean_up(planes.gray);
    return planes;
}

bool ICPair::binarize_ICPair() {
    if (!binarize_camera()) return false;
    binarize_reference();
    return true;
}

bool ICPair::binarize_camera() {
    // In bands of rows, each its own pixels, so that a stop is seen between
    // them on a camera image of a hundred megapixels.
    cam_gray = cv::Mat(cam_ori.size(), CV_8UC1);
    cam_bin = cv::Mat(cam_ori.size(), CV_8UC1);
    long long NonZero_num = 0;
    for (int first = 0; first < cam_ori.rows; first += kCameraBandRows) {
        pairfit::interruption_point();
        const cv::Range rows(first, std::min(cam_ori.rows, first + kCameraBandRows));
        cv::Mat gray = cam_gray.rowRange(rows), bin = cam_bin.rowRange(rows);
        cv::extractChannel(cam_ori.rowRange(rows), gray, 2);
        cv::threshold(gray, bin, kCamThreshold, 255, cv::THRESH_BINARY);
        NonZero_num += cv::countNonZero(bin);
    }
    return NonZero_num > kMinUniformPixels &&
           static_cast<long long>(cam_bin.rows) * cam_bin.cols - NonZero_num > kMinUniformPixels;
}

void ICPair::binarize_reference(const ReferencePlanes& prepared) {
    const ReferencePlanes planes = prepared.bin.empty() ? prepare_reference(img_ori) : prepared;
    img_gray = planes.gray;
    img_bin = planes.bin;
}

cv::Rect ICPair::fitted_camera(cv::Size camera, cv::Size reference) {
    if (camera.width >= reference.width && camera.height >= reference.height) return cv::Rect(cv::Point(), camera);
    const double scale = std::min(static_cast<double>(reference.width) / camera.width,
                                  static_cast<double>(reference.height) / camera.height);
    const cv::Size fitted(static_cast<int>(camera.width * scale), static_cast<int>(camera.height * scale));
    // Any odd pixel of the border goes after the image.
    return cv::Rect(cv::Point((reference.width - fitted.width) / 2, (reference.height - fitted.height) / 2), fitted);
}

void ICPair::camMakeBorder() {
    if (cam_ori.cols >= img_ori.cols && cam_ori.rows >= img_ori.rows) return;
    const cv::Rect fit = fitted_camera(cam_ori.size(), img_ori.size());
    cam_bin = resized(cam_bin, fit.size(), cv::INTER_NEAREST, "camera image");
    cam_gray = resized(cam_gray, fit.size(), cv::INTER_NEAREST, "camera image");
    cam_ori = resized(cam_ori, fit.size(), cv::INTER_LINEAR, "camera image");
    if (fit.size() == img_ori.size()) return;
    const int top = fit.y, bottom = img_ori.rows - fit.br().y;
    const int left = fit.x, right = img_ori.cols - fit.br().x;
    cam_bin = bordered(cam_bin, top, bottom, left, right, cv::Scalar(kNoData));
    cam_gray = bordered(cam_gray, top, bottom, left, right, cv::Scalar());
    cam_ori = bordered(cam_ori, top, bottom, left, right, cv::Scalar::all(kNoData));
}

double ICPair::scaling_ICPair(cv::OutputArray img_scaled, cv::OutputArray cam_scaled,
                              int size_max) const {
    const int longer_side = std::max(img_bin.rows, img_bin.cols);
    double scale = 1.0;
    if (longer_side > size_max) {
        scale = static_cast<double>(size_max) / longer_side;
        img_scaled.assign(resized(img_bin, scaled_size(img_bin, scale), cv::INTER_NEAREST, "reference image"));
        cam_scaled.assign(resized(cam_bin, scaled_size(cam_bin, scale), cv::INTER_NEAREST, "camera image"));
    } else {
        img_bin.copyTo(img_scaled);
        cam_bin.copyTo(cam_scaled);
    }
    return scale;
}

void ICPair::check_out_size() const {
    if (out_size < 1 || out_size > img_ori.cols || out_size > img_ori.rows) {
        throw pairfit::InvalidInput("out_size " + std::to_string(out_size) +
                                    " does not fit the reference image of " +
                                    size_text(img_ori.size()) +
                                    " px: it must be between 1 and the smaller side");
    }
}

void ICPair::align_ICPair(SimMat Sim_Mat) {
    check_out_size();
    // The sizes of the binary images equal those of the originals; the
    // originals are read so that the binaries may be released before.
    const cv::Rect rect_img((img_ori.cols - out_size) / 2, (img_ori.rows - out_size) / 2, out_size,
                            out_size);
    const cv::Rect rect_cam((cam_ori.cols - out_size) / 2, (cam_ori.rows - out_size) / 2, out_size,
                            out_size);
    // Only the kept squares of the two warps (grey fill, black fill) are computed.
    img_aligned = detail::warp_crop(img_ori, Sim_Mat.mat, rect_img, cv::Scalar::all(kNoData));
    const cv::Mat img_masked = detail::warp_crop(img_ori, Sim_Mat.mat, rect_img, cv::Scalar());
    const cv::Mat cam_cropped = cam_ori(rect_cam);
    if (is_masked) {
        Get_Mask_ROI(img_masked, cam_cropped, cam_aligned, 0, kNoData);
    } else {
        cam_aligned = cam_cropped;
    }
}
