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
    const char* text = std::getenv("PAIRFIT_MAX_PIXELS");
    if (text == nullptr || *text == '\0') return pairfit::AlignRequest().max_pixels;
    const std::string value = text;
    const bool whole_number = value.size() <= 18 &&
                              std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!whole_number || std::stoll(value) < 1) {
        throw pairfit::InvalidInput("PAIRFIT_MAX_PIXELS must be a whole number of pixels above 0, not '" +
                                    value + "'");
    }
    return std::stoll(value);
}

SimMat align_quietly(const std::string& img_path, const std::string& cam_path, std::string& unreadable) {
    pairfit::AlignRequest request{img_path, cam_path, "", 600, true};
    request.max_pixels = max_pixels_from_environment();
    // The program's one line is its whole output.
    const pairfit::QuietStandardError quiet;
    return pairfit::align_exact(request, &unreadable);
}

// The first line of a missing pair names the reference whichever image
// failed, as scripts read it; the second says which one and why.
void report(const SimMat& best, const std::string& img_path, const std::string& cam_path,
            const std::string& unreadable) {
    switch (pairfit::outcome_of(best)) {
        case pairfit::Outcome::missing:
            std::cerr << img_path << " is not exist" << std::endl;
            std::cerr << "pairfit: " << unreadable << std::endl;
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

const char kUsage[] =
    "usage: pairfit REFERENCE [CAMERA]\n"
    "Aligns the reference image with its camera photograph (REFERENCE with its\n"
    "last .jpg replaced by .png when CAMERA is not given), writes\n"
    "<stem>_aligned.jpg and <stem>_aligned.png beside the reference and prints\n"
    "the accuracy. PAIRFIT_MAX_PIXELS sets the largest image in pixels\n"
    "(default 100000000).\n"
    "Exit status: 1 after an alignment, whatever its outcome; 2 after an error.\n";

// --help, -h and --version are answered, not taken for an image name.
bool answered_option(const std::string& argument) {
    if (argument == "--help" || argument == "-h") {
        std::cout << kUsage << std::flush;
        return true;
    }
    if (argument == "--version") {
        std::cout << "pairfit " << PAIRFIT_VERSION << std::endl;
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    if (argc == 2 && answered_option(argv[1])) return kExitAfterUsageError;
    if (argc != 2 && argc != 3) {
        std::cout << "Too many or no arguments supplied." << std::endl;
        return kExitAfterUsageError;
    }
    const std::string img_path = argv[1];
    const std::string cam_path = argc == 3 ? argv[2] : path_img2cam(img_path);
    try {
        std::string unreadable;
        const SimMat best = align_quietly(img_path, cam_path, unreadable);
        report(best, img_path, cam_path, unreadable);
    } catch (const std::exception& e) {
        std::cerr << "pairfit: error: " << e.what() << std::endl;
        return kExitAfterError;
    }
    return kExitAfterAlignment;
}
