#include "pairfit/pipeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <future>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "ICPair.h"
#include "Match.h"
#include "errors.h"
#include "utils.h"

namespace {

// The two search passes: coarse on 100-px images, fine on 300-px ones.
const int size_max_1 = 100;
const int size_max_2 = 300;
const int shift_max_1 = 50, match_step_1 = 5, threads_1 = 10;
const int shift_max_2 = 5, match_step_2 = 1, threads_2 = 5;
const double threshold_err = 0.0;

// The reference's planes, derived while the camera image decodes and is
// tested. Only a reference that can be binarised at all is started early: a
// smaller one is rejected by binarize_ICPair, and only once the camera
// image has passed its test.
std::future<ReferencePlanes> start_reference(const cv::Mat& img_ori) {
    const int min_side = 200;
    if (img_ori.empty() || img_ori.cols < min_side || img_ori.rows < min_side) return {};
    return std::async(std::launch::async, ICPair::prepare_reference, img_ori);
}

}  // namespace

SimMat missing_images() {
    SimMat result(0, 0, 0, 0);
    result.score = 0;
    return result;
}

SimMat not_binarisable() {
    SimMat result(0, 1, 0, 0);
    result.score = 0;
    return result;
}

namespace {

// A file that cannot be decoded counts as missing, like one that is absent.
// Only regular files are opened: a directory has no image, and reading a
// FIFO or a device could block for ever.
cv::Mat load_colour(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return cv::Mat();
    try {
        return cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return cv::Mat();
    }
}

// The pass-1 result in the 300-px frame. Above 300 px the fixed ratio of the
// two frame sizes is exact; a smaller reference is searched unscaled in pass 2,
// so the ratio of the two factors actually used keeps the frames consistent.
double carry_ratio(const ICPair& pair, double scale_1, double scale_2) {
    if (std::max(pair.img_ori.cols, pair.img_ori.rows) > size_max_2) {
        return static_cast<double>(size_max_1) / static_cast<double>(size_max_2);
    }
    return scale_1 / scale_2;
}

// The full-resolution planes are not read again once the reduced images of
// both passes exist; the originals stay for the final warp and crop.
void release_binaries(ICPair& pair) {
    pair.img_bin.release();
    pair.cam_bin.release();
}

void release_grey_planes(ICPair& pair) {
    pair.img_gray.release();
    pair.cam_gray.release();
}

}  // namespace

ExactSearch run_exact_search(const char* img_path, const char* cam_path, int out_size,
                             bool is_masked, const LoadedHook& on_loaded) {
    ExactSearch found;
    // Decoding is the largest cost after the median filter: both images
    // decode at once, and the reference's filter starts as soon as the
    // reference is decoded.
    std::future<cv::Mat> cam_loading = std::async(std::launch::async, load_colour, cam_path);
    const cv::Mat img_ori = load_colour(img_path);
    std::future<ReferencePlanes> reference = start_reference(img_ori);
    const cv::Mat cam_ori = cam_loading.get();
    if (img_ori.empty() || cam_ori.empty()) return found;
    if (on_loaded) on_loaded(img_ori, cam_ori);

    found.camera_size = cam_ori.size();
    ICPair& ICpair = found.pair;
    ICpair = ICPair(img_ori, cam_ori, out_size, is_masked);
    const bool Is_Normal = ICpair.binarize_camera();
    if (Is_Normal) ICpair.binarize_reference(reference.valid() ? reference.get() : ReferencePlanes());
    ICpair.camMakeBorder();
    if (!Is_Normal) {
        found.outcome = ExactSearch::Outcome::not_binarisable;
        return found;
    }
    release_grey_planes(ICpair);
    // Checked before the search, so that a bad size costs no search time.
    ICpair.check_out_size();

    SimMat Sim_Mat_1(0, 1, 0, 0);
    Match matchIC_1(&Sim_Mat_1, shift_max_1, match_step_1, threshold_err, true);
    const double scale_1 =
        ICpair.scaling_ICPair(matchIC_1.img_scaled, matchIC_1.cam_scaled, size_max_1);
    matchIC_1.matching_multi(threads_1);

    SimMat Sim_Mat_2 = *matchIC_1.Sim_Mat;
    Match matchIC_2(&Sim_Mat_2, shift_max_2, match_step_2, threshold_err, false);
    found.scale_2 = ICpair.scaling_ICPair(matchIC_2.img_scaled, matchIC_2.cam_scaled, size_max_2);
    release_binaries(ICpair);
    Sim_Mat_2.Matrix_Sim_Scaled(carry_ratio(ICpair, scale_1, found.scale_2));
    found.ratio = matchIC_2.matching_multi(threads_2);
    found.img_300 = matchIC_2.img_scaled;
    found.cam_300 = matchIC_2.cam_scaled;

    found.transform = *matchIC_2.Sim_Mat;
    found.transform.Matrix_Sim_Scaled(found.scale_2);
    found.outcome = ExactSearch::Outcome::searched;
    return found;
}

SimMat finish_exact(ExactSearch& found, const char* output_dir, const char* img_path,
                    const char* cam_path) {
    SimMat Sim_Mat = found.transform;
    found.pair.align_ICPair(Sim_Mat);
    save_imgcam(found.pair.img_aligned, found.pair.cam_aligned, output_dir, img_path, cam_path);
    Sim_Mat.score = 1 - found.ratio;
    return Sim_Mat;
}

SimMat alignment_ICpair(const char* img_path, const char* cam_path, const char* output_dir,
                        int out_size, bool is_masked) {
    try {
        ExactSearch found = run_exact_search(img_path, cam_path, out_size, is_masked);
        if (found.outcome == ExactSearch::Outcome::missing) return missing_images();
        if (found.outcome == ExactSearch::Outcome::not_binarisable) return not_binarisable();
        return finish_exact(found, output_dir, img_path, cam_path);
    } catch (const cv::Exception& e) {
        throw pairfit::LibraryError(std::string("image library error: ") + e.what());
    }
}
