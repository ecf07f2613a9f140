// The command-line face of the pipeline: aligns one pair and prints one line.

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>

#include <opencv2/core/utils/logger.hpp>

#include "errors.h"
#include "pairfit/pipeline.h"
#include "pairfit/quiet_stderr.h"
#include "utils.h"

namespace {

const int kExitAfterAlignment = 1;
const int kExitAfterUsageError = 0;
const int kExitAfterError = 2;

// PAIRFIT_MAX_PIXELS raises or lowers the size limit of the two images.
long long max_pixels_from_environment() {
    pairfit::AlignRequest defaults;
    const char* text = std::getenv("PAIRFIT_MAX_PIXELS");
    if (text == nullptr || *text == '\0') return defaults.max_pixels;
    const std::string value = text;
    const bool whole_number = value.size() <= 18 &&
                              std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!whole_number || std::stoll(value) < 1) {
        throw pairfit::InvalidInput("PAIRFIT_MAX_PIXELS must be a whole number of pixels above 0, not '" +
                                    value + "'");
    }
    return std::stoll(value);
}

SimMat align_quietly(const std::string& img_path, const std::string& cam_path) {
    pairfit::AlignRequest request{img_path, cam_path, "", 600, true};
    request.max_pixels = max_pixels_from_environment();
    // The program's one line is its whole output.
    const pairfit::QuietStandardError quiet;
    return pairfit::align_exact(request);
}

void report(const SimMat& best, const std::string& img_path, const std::string& cam_path) {
    switch (pairfit::outcome_of(best)) {
        case pairfit::Outcome::missing:
            std::cerr << img_path << " is not exist" << std::endl;
            break;
        case pairfit::Outcome::special:
            std::cout << img_path << " is special!" << std::endl;
            break;
        case pairfit::Outcome::aligned:
            std::cout << "Alignment the images: " << img_path << " and " << cam_path
                      << ". And the accuracy is " << best.score << std::endl;
            break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    std::string img_path;
    std::string cam_path;
    if (argc == 2) {
        img_path = argv[1];
        cam_path = path_img2cam(img_path);
    } else if (argc == 3) {
        img_path = argv[1];
        cam_path = argv[2];
    } else {
        std::cout << "Too many or no arguments supplied." << std::endl;
        return kExitAfterUsageError;
    }
    try {
        const SimMat best = align_quietly(img_path, cam_path);
        report(best, img_path, cam_path);
    } catch (const std::exception& e) {
        std::cerr << "pairfit: error: " << e.what() << std::endl;
        return kExitAfterError;
    }
    return kExitAfterAlignment;
}
