#include "fuzz_input.h"

#include <cstdio>
#include <new>
#include <string>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "errors.h"
#include "pairfit/pipeline.h"
#include "pairfit/precise.h"
#include "test_images.h"

namespace {

// A small valid pair, so that each input reaches as far into the pipeline
// as its bytes allow; out_size small enough for every valid reference.
struct FuzzWorkspace {
    testimg::TemporaryDirectory temporary{"fuzz"};
    std::string dir = temporary.path();
    std::string reference;
    std::string camera;
    std::string input;
    FuzzWorkspace() {
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
        reference = dir + "/reference.png";
        camera = dir + "/camera.png";
        input = dir + "/input";
        const cv::Mat img = testimg::document_colour(240, 260, 1);
        cv::Mat cam;
        const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, 6, 0, 1, -4);
        cv::warpAffine(img, cam, shift, img.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                       cv::Scalar(60, 60, 60));
        cv::imwrite(reference, img);
        cv::imwrite(camera, cam);
    }
};

const int kOutSize = 48;

}  // namespace

void align_fuzzed_bytes(const std::uint8_t* data, std::size_t size) {
    static const FuzzWorkspace workspace;
    if (size < 1) return;
    const bool as_camera = data[0] & 1;
    const bool masked = data[0] & 2;
    const bool precise = data[0] & 4;
    FILE* f = std::fopen(workspace.input.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    const std::string& img = as_camera ? workspace.reference : workspace.input;
    const std::string& cam = as_camera ? workspace.input : workspace.camera;
    try {
        const std::string out = workspace.dir + "/out";
        if (precise) {
            pairfit::align_precise({img, cam, out, kOutSize, masked});
        } else {
            alignment_ICpair(img.c_str(), cam.c_str(), out.c_str(), kOutSize, masked);
        }
    } catch (const pairfit::Error&) {
    } catch (const std::bad_alloc&) {
    }
}
