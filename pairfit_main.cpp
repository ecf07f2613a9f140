// The command-line face of the pipeline: aligns one pair and prints one line.

#include <iostream>
#include <string>

#include <opencv2/core/utils/logger.hpp>

#include "pairfit.h"
#include "utils.h"

namespace {

const int kExitAfterAlignment = 1;
const int kExitAfterUsageError = 0;
const int kExitAfterError = 2;

void report(const SimMat& best, const std::string& img_path, const std::string& cam_path) {
    if (best.s == 0.0) {
        std::cerr << img_path << " is not exist" << std::endl;
    } else if (best.score == 0.0) {
        std::cout << img_path << " is special!" << std::endl;
    } else {
        std::cout << "Alignment the images: " << img_path << " and " << cam_path
                  << ". And the accuracy is " << best.score << std::endl;
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
        const SimMat best = alignment_ICpair(img_path.c_str(), cam_path.c_str(), "", 600, true);
        report(best, img_path, cam_path);
    } catch (const std::exception& e) {
        std::cerr << "pairfit: error: " << e.what() << std::endl;
        return kExitAfterError;
    }
    return kExitAfterAlignment;
}
