// How close the precise entry's own estimate of the crops' misalignment
// (misalignment_px) comes to the truth, on generated pairs whose camera is
// not a plane seen through a perfect lens (curved_pairs.h): radial lens
// distortion, a print wrapped on a cylinder, gently wavy paper, a curled
// corner, beside a control group of similarity and tilted pairs.
//
//   pairfit_misalignment [pairs per group] [out_size]
//
// Truth: over a grid of the camera's output square, how far from each camera
// point the result's matrix lays the reference point truly seen there; its
// 95th percentile and its largest value. An estimate is good when it is
// within max(0.3 px, half the truth) of the true 95th percentile; a pair is
// missed when its truth is above 1 px and its estimate is not.

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "curved_pairs.h"
#include "pairfit/precise.h"
#include "synthetic_pair.h"

namespace {

// The reference photographed through the case's camera: defocus before
// sampling, then light, noise.
cv::Mat photograph(const cv::Mat& ref, const CurvedCase& c, cv::RNG& rng) {
    cv::Mat blurred, shot;
    cv::GaussianBlur(ref, blurred, cv::Size(), rng.uniform(0.8, 1.6));
    cv::remap(blurred, shot, reference_sources(c), cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
              cv::Scalar(55, 62, 70));
    cv::Mat fshot, noise(c.cam_size, CV_32FC3);
    shot.convertTo(fshot, CV_32FC3);
    const double slope = rng.uniform(0.0, 0.2);
    for (int x = 0; x < c.cam_size.width; ++x) fshot.col(x) *= 1 - slope * x / c.cam_size.width;
    rng.fill(noise, cv::RNG::NORMAL, 0, rng.uniform(2.0, 5.0));
    fshot += noise;
    fshot.convertTo(shot, CV_8UC3);
    return shot;
}

// The truth of a result over its camera square: how far from each camera
// point the result's matrix lays the reference point truly seen there; the
// 95th percentile and the largest.
std::pair<double, double> true_error(const pairfit::PreciseResult& r, const CurvedCase& c) {
    const cv::Rect2d& q = r.camera_square;
    std::vector<double> e;
    for (double y = q.y; y <= q.br().y; y += q.height / 60) {
        for (double x = q.x; x <= q.br().x; x += q.width / 60) {
            const cv::Point2d d = mapped(r.matrix, c.reference_of(cv::Point2d(x, y))) - cv::Point2d(x, y);
            e.push_back(std::hypot(d.x, d.y));
        }
    }
    std::sort(e.begin(), e.end());
    return {e[static_cast<size_t>(0.95 * (e.size() - 1))], e.back()};
}

struct Tally {
    std::string group;
    int pairs = 0, good = 0, missed = 0, unknown = 0;
    std::vector<double> truth, gaps;
};

}  // namespace

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    const int per_group = argc > 1 ? std::max(1, std::atoi(argv[1])) : 6;
    const int out = argc > 2 ? std::atoi(argv[2]) : 1200;
    char dir_template[] = "/tmp/pairfit-misalignment-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    cv::RNG rng(2027);
    std::printf("group     distortion            subject model       true p95  true max  estimate  corr   method\n");
    std::vector<Tally> tallies(kCurvedGroups);
    for (int k = 0; k < per_group * kCurvedGroups; ++k) {
        const int g = k % kCurvedGroups;
        const CurvedCase c = make_curved_case(g, rng);
        const bool grid = k % 4 == 3;
        const cv::Size ref = c.ref_size;
        const cv::Mat img = grid ? make_grid(ref.width, ref.height, 300 + k) : make_label(ref.width, ref.height, 300 + k);
        cv::imwrite(dir + "/ref.png", img);
        cv::imwrite(dir + "/cam.jpg", photograph(img, c, rng), {cv::IMWRITE_JPEG_QUALITY, 90});
        for (const pairfit::Model model : {pairfit::Model::similarity, pairfit::Model::homography}) {
            pairfit::PreciseOptions options;
            options.model = model;
            const pairfit::PreciseResult r =
                pairfit::align_precise({dir + "/ref.png", dir + "/cam.jpg", dir, out, true}, options);
            const auto [p95, largest] = true_error(r, c);
            const double estimate = r.misalignment_px;
            Tally& t = tallies[g];
            t.group = c.group;
            ++t.pairs;
            t.truth.push_back(p95);
            if (std::isnan(estimate)) {
                ++t.unknown;
            } else {
                t.gaps.push_back(std::abs(estimate - p95));
                if (std::abs(estimate - p95) <= std::max(0.3, p95 / 2)) ++t.good;
            }
            if (p95 > 1 && !(estimate > 1)) ++t.missed;
            std::printf("%-9s %-21s %-7s %-10s %9.3f %9.3f %9.3f  %.3f  %s\n", c.group.c_str(), c.detail.c_str(),
                        grid ? "grid" : "label", pairfit::model_name(model).c_str(),
                        p95, largest, estimate, r.correlation, r.method.c_str());
            std::fflush(stdout);
        }
    }
    std::printf("\n| group | results | estimate within max(0.3 px, half) | true p95 > 1 px, estimate not | "
                "no estimate | median true p95 | median |estimate - truth| |\n|---|---|---|---|---|---|---|\n");
    for (const Tally& t : tallies) {
        std::printf("| %s | %d | %d | %d | %d | %.3f px | %.3f px |\n", t.group.c_str(), t.pairs, t.good, t.missed,
                    t.unknown, median(t.truth), median(t.gaps));
    }
    std::filesystem::remove_all(dir);
    return 0;
}
