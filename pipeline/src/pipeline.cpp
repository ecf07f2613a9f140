#include "pairfit/pipeline.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "ICPair.h"
#include "Match.h"
#include "pairfit/image_header.h"
#include "pairfit/passes.h"
#include "errors.h"
#include "pairfit/core.h"
#include "utils.h"
#include "pairfit/worker_pool.h"

namespace {

// The reference's planes, derived while the camera image decodes and is
// tested. Only a reference that can be binarised at all is started early: a
// smaller one is rejected by binarize_ICPair, and only once the camera
// image has passed its test.
pairfit::Job<ReferencePlanes> start_reference(const cv::Mat& img_ori) {
    if (img_ori.empty() || img_ori.cols < pairfit::kMinReferenceSide || img_ori.rows < pairfit::kMinReferenceSide) {
        return {};
    }
    return pairfit::start_job([img_ori] { return ICPair::prepare_reference(img_ori); });
}

// A file that cannot be decoded counts as missing, like one that is absent.
// Only files whose header was read come here, so each is a regular file.
cv::Mat load_colour(const std::string& path) {
    try {
        return cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return cv::Mat();
    }
}

cv::Mat load_source(const pairfit::ImageSource& source) {
    return source.in_memory() ? source.pixels : load_colour(source.path);
}

std::string unreadable(const char* role, const pairfit::ImageSource& source, const std::string& problem) {
    return std::string(role) + " '" + source.path + "': " + problem;
}

const char kCannotBeDecoded[] = "cannot be decoded";

// --- Sizes before decoding ---------------------------------------------------

// OpenCV's own limits (CV_IO_MAX_IMAGE_PIXELS, which the
// environment may change as OpenCV reads it, and the largest side):
// above them it refuses to decode, which would otherwise read as a missing
// image.
long long library_pixel_limit() {
    static const long long limit = [] {
        const long long fallback = 1LL << 30;
        const char* text = std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS");
        if (text == nullptr) return fallback;
        char* end = nullptr;
        const long long value = std::strtoll(text, &end, 10);
        if (end == text || value <= 0) return fallback;
        const std::string unit = end;
        if (unit == "KB" || unit == "Kb" || unit == "kb") return value * 1024;
        if (unit == "MB" || unit == "Mb" || unit == "mb") return value * 1024 * 1024;
        return unit.empty() ? value : fallback;
    }();
    return limit;
}

const long long kLibrarySideLimit = 1LL << 20;

void check_pixels(const char* role, const pairfit::ImageSource& source, cv::Size size,
                  long long max_pixels) {
    const long long pixels = static_cast<long long>(size.width) * size.height;
    const std::string image = std::string(role) + " '" + source.path + "' is " + pairfit::size_text(size) + " px" +
                              " (" + std::to_string(pixels) + " pixels)";
    if (pixels > max_pixels && max_pixels <= library_pixel_limit()) {
        throw pairfit::InvalidInput(image + ", more than the limit of " + std::to_string(max_pixels) +
                                    " pixels");
    }
    if (pixels > library_pixel_limit()) {
        throw pairfit::InvalidInput(image + ", more than the image library's limit of " +
                                    std::to_string(library_pixel_limit()) +
                                    " pixels (OPENCV_IO_MAX_IMAGE_PIXELS)");
    }
    if (size.width > kLibrarySideLimit || size.height > kLibrarySideLimit) {
        throw pairfit::InvalidInput(image + ", wider or taller than the image library's limit of " +
                                    std::to_string(kLibrarySideLimit) + " px");
    }
}

pairfit::ImageFileCheck declared_size(const pairfit::ImageSource& source) {
    if (source.in_memory()) return {source.pixels.size(), ""};
    return pairfit::check_image_file(source.path);
}

struct DeclaredSizes {
    pairfit::ImageFileCheck reference, camera;

    /// Which image cannot be read and why; empty when both can be decoded.
    std::string problem(const pairfit::AlignRequest& request) const {
        if (!reference.problem.empty()) return unreadable("reference image", request.reference, reference.problem);
        if (!camera.problem.empty()) return unreadable("camera image", request.camera, camera.problem);
        return "";
    }
};

// Both images are measured before either is decoded; an image too large is
// refused even when the other cannot be read.
DeclaredSizes check_declared_sizes(const pairfit::AlignRequest& request) {
    const DeclaredSizes sizes{declared_size(request.reference), declared_size(request.camera)};
    if (sizes.reference.size) check_pixels("reference image", request.reference, *sizes.reference.size, request.max_pixels);
    if (sizes.camera.size) check_pixels("camera image", request.camera, *sizes.camera.size, request.max_pixels);
    return sizes;
}

// ICPair::check_out_size reads nothing but the reference's size.
void check_out_size_of(cv::Size reference, int out_size) {
    unsigned char no_pixels = 0;
    const cv::Mat size_only(reference, CV_8UC1, &no_pixels);
    ICPair(size_only, cv::Mat(), out_size, true).check_out_size();
}

bool out_size_misfits(cv::Size reference, int out_size) {
    // Below the shortest side the reference's own error comes first.
    return std::min(reference.width, reference.height) >= pairfit::kMinReferenceSide &&
           (out_size < 1 || out_size > std::min(reference.width, reference.height));
}

// A missing or uniform camera image decides the outcome before a wrong
// out_size does; the reference is not decoded to find that out.
pairfit::ExactSearch camera_outcome_or_out_size_error(const pairfit::AlignRequest& request,
                                                      cv::Size reference) {
    pairfit::ExactSearch found;
    const cv::Mat cam_ori = load_source(request.camera);
    if (cam_ori.empty()) {
        found.unreadable = unreadable("camera image", request.camera, kCannotBeDecoded);
        return found;
    }
    pairfit::stage_checkpoint();
    ICPair camera_only(cv::Mat(), cam_ori, request.out_size, request.is_masked);
    if (!camera_only.binarize_camera()) {
        found.stage = pairfit::ExactSearch::Stage::not_binarisable;
        return found;
    }
    check_out_size_of(reference, request.out_size);
    return found;
}

}  // namespace

namespace pairfit {

RequestInterruption::RequestInterruption(const AlignRequest& request)
    : own_(request.checkpoint, request.checkpoint_within_stages),
      in_flight_(current_interruption() ? std::nullopt : std::make_optional<InFlight>()),
      scope_(current_interruption() ? current_interruption() : &own_) {}

void stage_checkpoint() {
    if (Interruption* i = current_interruption()) i->stage_end();
}

double run_pass(const SearchPass& pass, SimMat& transform, const cv::Mat& img_scaled,
                const cv::Mat& cam_scaled, bool fast_scoring) {
    Match match(&transform, pass.shift_max, pass.match_step, kThresholdErr, pass.with_scales);
    match.fast_scoring = fast_scoring;
    match.img_scaled = img_scaled;
    match.cam_scaled = cam_scaled;
    return match.matching_multi(pass.threads);
}

double carry_ratio(cv::Size reference, double scale_1, double scale_2) {
    if (std::max(reference.width, reference.height) > kFinePass.size_max) {
        return static_cast<double>(kCoarsePass.size_max) / static_cast<double>(kFinePass.size_max);
    }
    return scale_1 / scale_2;
}

SimMat unaligned_result(ExactSearch::Stage stage) {
    return SimMat(0, stage == ExactSearch::Stage::missing ? 0 : 1, 0, 0);  // score 0
}

ExactSearch run_exact_search(const AlignRequest& request, const LoadedHook& on_loaded, const CameraHook& on_camera) {
    const RequestInterruption interruption(request);
    const DeclaredSizes declared = check_declared_sizes(request);
    ExactSearch found;
    found.unreadable = declared.problem(request);
    if (!found.unreadable.empty()) return found;
    if (out_size_misfits(*declared.reference.size, request.out_size)) {
        return camera_outcome_or_out_size_error(request, *declared.reference.size);
    }
    // Decoding is the largest cost after the median filter: both images
    // decode at once, and the reference's filter starts as soon as the
    // reference is decoded.
    const auto load_camera = [&request, &declared, &on_camera] {
        cv::Mat cam = load_source(request.camera);
        if (on_camera && !cam.empty()) on_camera(cam, *declared.reference.size);
        return cam;
    };
    pairfit::Job<cv::Mat> cam_loading = pairfit::start_job(load_camera);
    const cv::Mat img_ori = load_source(request.reference);
    pairfit::Job<ReferencePlanes> reference = start_reference(img_ori);
    const cv::Mat cam_ori = cam_loading.get();
    if (img_ori.empty() || cam_ori.empty()) {
        found.unreadable = unreadable(img_ori.empty() ? "reference image" : "camera image",
                                      img_ori.empty() ? request.reference : request.camera, kCannotBeDecoded);
        return found;
    }
    pairfit::stage_checkpoint();
    if (on_loaded) on_loaded(img_ori, cam_ori);

    found.camera_size = cam_ori.size();
    ICPair& ICpair = found.pair_;
    ICpair = ICPair(img_ori, cam_ori, request.out_size, request.is_masked);
    const bool Is_Normal = ICpair.binarize_camera();
    if (Is_Normal) {
        ICpair.binarize_reference(reference.valid() ? reference.get() : ReferencePlanes());
        pairfit::stage_checkpoint();
    }
    ICpair.camMakeBorder();
    if (!Is_Normal) {
        found.stage = ExactSearch::Stage::not_binarisable;
        return found;
    }
    // The full-resolution planes are not read again once the reduced images
    // of both passes exist; the originals stay for the final warp and crop.
    ICpair.img_gray.release();
    ICpair.cam_gray.release();
    // Checked before the search, so that a bad size costs no search time.
    ICpair.check_out_size();

    SimMat Sim_Mat(0, 1, 0, 0);
    cv::Mat img_100, cam_100;
    const double scale_1 = ICpair.scaling_ICPair(img_100, cam_100, kCoarsePass.size_max);
    run_pass(kCoarsePass, Sim_Mat, img_100, cam_100);
    pairfit::stage_checkpoint();

    found.scale_2 = ICpair.scaling_ICPair(found.img_300, found.cam_300, kFinePass.size_max);
    ICpair.img_bin.release();
    ICpair.cam_bin.release();
    Sim_Mat.Matrix_Sim_Scaled(carry_ratio(ICpair.img_ori.size(), scale_1, found.scale_2));
    found.ratio = run_pass(kFinePass, Sim_Mat, found.img_300, found.cam_300);

    found.transform = Sim_Mat;
    found.transform.Matrix_Sim_Scaled(found.scale_2);
    found.stage = ExactSearch::Stage::searched;
    return found;
}

void write_crops(const cv::Mat& img_aligned, const cv::Mat& cam_aligned, const AlignRequest& request) {
    const RequestInterruption interruption(request);
    stage_checkpoint();
    if (!request.write_files) return;
    save_imgcam(img_aligned, cam_aligned, request.output_dir, request.reference.path,
                request.camera.path);
}

ExactCrops finish_exact(const ExactSearch& found, const AlignRequest& request) {
    const RequestInterruption interruption(request);
    SimMat Sim_Mat = found.transform;
    ICPair pair = found.pair_;  // shares the pixels: the warp stores new images in the copy
    pair.align_ICPair(Sim_Mat);
    write_crops(pair.img_aligned, pair.cam_aligned, request);
    Sim_Mat.score = 1 - found.ratio;
    return {Sim_Mat, pair.img_aligned, pair.cam_aligned};
}

SimMat align_exact(const AlignRequest& request, std::string* unreadable) {
    const RequestInterruption interruption(request);
    try {
        ExactSearch found = run_exact_search(request);
        if (unreadable != nullptr) *unreadable = found.unreadable;
        if (found.stage != ExactSearch::Stage::searched) return unaligned_result(found.stage);
        return finish_exact(found, request).transform;
    } catch (const cv::Exception& e) {
        throw LibraryError(std::string("image library error: ") + e.what());
    }
}

Outcome outcome_of(const SimMat& result) {
    if (result.s == 0.0) return Outcome::missing;
    if (result.score == 0.0) return Outcome::special;
    return Outcome::aligned;
}

const char* outcome_name(Outcome outcome) {
    switch (outcome) {
        case Outcome::missing: return "missing";
        case Outcome::special: return "special";
        case Outcome::aligned: break;
    }
    return "aligned";
}

}  // namespace pairfit

SimMat alignment_ICpair(const char* img_path, const char* cam_path, const char* output_dir,
                        int out_size, bool is_masked) {
    return pairfit::align_exact({img_path, cam_path, output_dir, out_size, is_masked});
}
