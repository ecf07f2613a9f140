#include "square_warp.h"

#include <cstdint>
#include <tuple>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "crop_measures.h"
#include "pairfit/core.h"
#include "utils.h"
#include "pairfit/worker_pool.h"

namespace pairfit {
namespace {

cv::Mat warped_square(const cv::Mat& img, const Map<frame::Square, frame::Reference>& square_from_reference, int out,
                      const cv::Scalar& fill) {
    cv::Mat result;
    const cv::Matx33d& m = square_from_reference.matrix();
    if (square_from_reference.affine()) {
        cv::warpAffine(img, result, cv::Mat(top_rows(m)), cv::Size(out, out), cv::INTER_LINEAR, cv::BORDER_CONSTANT, fill);
    } else {
        cv::warpPerspective(img, result, cv::Mat(m), cv::Size(out, out), cv::INTER_LINEAR, cv::BORDER_CONSTANT, fill);
    }
    return result;
}

// The reference's warp onto the output square: through a homography, or
// through the reference pixels that a field's whole map shows at each pixel.
class SquareWarp {
public:
    explicit SquareWarp(const Map<frame::Square, frame::Reference>& m) : map_(m) {}
    explicit SquareWarp(cv::Mat sources) : sources_(std::move(sources)) {}

    cv::Mat of(const cv::Mat& img, int out, const cv::Scalar& fill) const {
        if (sources_.empty()) return warped_square(img, map_, out, fill);
        cv::Mat result;
        cv::remap(img, result, sources_, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, fill);
        return result;
    }

    // Where the square shows the reference.
    cv::Mat content(const cv::Mat& img, int out) const {
        if (sources_.empty()) return content_of(img, map_, out);
        cv::Mat inside;
        cv::inRange(sources_, cv::Scalar(0, 0), cv::Scalar(img.cols - 1, img.rows - 1), inside);
        return inside;
    }

private:
    Map<frame::Square, frame::Reference> map_;
    cv::Mat sources_;
};

}  // namespace

cv::Mat content_of(const cv::Mat& img, const Map<frame::Square, frame::Reference>& square_from_reference, int out) {
    const cv::Matx33d m = square_from_reference.inverse().matrix();
    const double right = img.cols - 1, bottom = img.rows - 1;
    cv::Mat inside(out, out, CV_8U);
    for (int y = 0; y < out; ++y) {
        std::uint8_t* row = inside.ptr<std::uint8_t>(y);
        for (int x = 0; x < out; ++x) {
            const double w = m(2, 0) * x + m(2, 1) * y + m(2, 2);
            const double u = (m(0, 0) * x + m(0, 1) * y + m(0, 2)) / w, v = (m(1, 0) * x + m(1, 1) * y + m(1, 2)) / w;
            row[x] = w > 0 && u >= 0 && v >= 0 && u <= right && v <= bottom ? 255 : 0;
        }
    }
    return inside;
}

void warp_and_save(const Scene& s, const CameraMap& camera_from_reference, const DisplacementField& field,
                   PreciseResult& r) {
    const ExactSearch& found = s.found;
    const int out = found.out_size();
    const cv::Point square_at = s.f.reference_square.tl();
    const Map<frame::Square, frame::Reference> square_from_reference =
        translation<frame::Square, frame::Canvas>(-square_at.x, -square_at.y) * s.canvas_map_of(camera_from_reference);
    const Map<frame::Camera, frame::Square> camera_from_square =
        camera_from_canvas(s.f) * translation<frame::Canvas, frame::Square>(square_at.x, square_at.y);
    const SquareWarp warp = field.empty()
                                ? SquareWarp(square_from_reference)
                                : SquareWarp(square_sources(camera_from_reference, field, camera_from_square, out));
    const cv::Mat img_aligned = warp.of(found.reference(), out, cv::Scalar::all(kNoData));
    const cv::Mat img_masked = warp.of(found.reference(), out, cv::Scalar());
    const cv::Mat cam_cropped = found.fitted_camera()(s.f.fitted_square);
    // The correlation and the misalignment are made beside the mask and the files.
    Job<std::pair<double, double>> measures = start_job([&] {
        const cv::Mat content = warp.content(found.reference(), out);
        const double correlation = crop_correlation(img_aligned, cam_cropped, content, [&] {
            return whole_pair_correlation(
                s.estimate.img_small.empty() ? reduced_pair(found.reference(), s.view.camera) : s.estimate,
                camera_from_reference);
        });
        return std::make_pair(correlation, misalignment_of(img_aligned, cam_cropped, content, s.f, !field.empty()));
    });
    cv::Mat cam_aligned = cam_cropped;
    if (found.is_masked()) Get_Mask_ROI(img_masked, cam_cropped, cam_aligned, 0, kNoData);
    write_crops(img_aligned, cam_aligned, s.request);
    std::tie(r.correlation, r.misalignment_px) = measures.get();
    r.reference_crop = img_aligned;
    r.camera_crop = cam_aligned;
}

}  // namespace pairfit
