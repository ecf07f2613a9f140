// How close the precise entry's own estimate of the crops' misalignment
// (misalignment_px) comes to the truth, on generated pairs whose camera is
// not a plane seen through a perfect lens: radial lens distortion, a print
// wrapped on a cylinder, gently wavy paper, beside plain and tilted pairs.
//
//   pairfit_misalignment [pairs per group] [out_size]
//
// Truth: over a grid of the camera's output square, the distance between a
// camera point and where the reference point that the result's matrix puts
// there truly lands; its 95th percentile and its largest value. An estimate
// is good when it is within max(0.3 px, half the truth) of the true 95th
// percentile; a pair is missed when its truth is above 1 px and its estimate
// is not.

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pairfit/precise.h"
#include "synthetic_pair.h"

namespace {

using Forward = std::function<cv::Point2d(cv::Point2d)>;  // reference pixel -> camera pixel

// The reference point a camera point shows: Newton's method on the forward
// map from the plane's own estimate, with a numerical Jacobian.
cv::Point2d inverse_of(const Forward& f, const cv::Matx33d& plane, cv::Point2d q) {
    cv::Point2d p = mapped(plane.inv(), q);
    for (int k = 0; k < 20; ++k) {
        const cv::Point2d r = f(p) - q;
        if (std::hypot(r.x, r.y) < 1e-6) break;
        const double h = 0.5;
        const cv::Point2d dx = (f(p + cv::Point2d(h, 0)) - f(p - cv::Point2d(h, 0))) / (2 * h);
        const cv::Point2d dy = (f(p + cv::Point2d(0, h)) - f(p - cv::Point2d(0, h))) / (2 * h);
        const double det = dx.x * dy.y - dy.x * dx.y;
        p -= cv::Point2d((dy.y * r.x - dy.x * r.y) / det, (-dx.y * r.x + dx.x * r.y) / det);
    }
    return p;
}

// The reference photographed through the forward map: the inverse on a grid
// of 4 px, interpolated (the maps are smooth), defocus before sampling,
// then light, noise.
cv::Mat photograph(const cv::Mat& ref, const Forward& f, const cv::Matx33d& plane, cv::Size camera, cv::RNG& rng) {
    const int step = 4;
    const cv::Size coarse(camera.width / step + 2, camera.height / step + 2);
    cv::Mat cx(coarse, CV_32F), cy(coarse, CV_32F);
    for (int y = 0; y < coarse.height; ++y) {
        for (int x = 0; x < coarse.width; ++x) {
            const cv::Point2d p = inverse_of(f, plane, cv::Point2d(x * step, y * step));
            cx.at<float>(y, x) = static_cast<float>(p.x);
            cy.at<float>(y, x) = static_cast<float>(p.y);
        }
    }
    cv::Mat map_x(camera, CV_32F), map_y(camera, CV_32F);
    for (int y = 0; y < camera.height; ++y) {
        for (int x = 0; x < camera.width; ++x) {
            const double u = static_cast<double>(x) / step, v = static_cast<double>(y) / step;
            const int i = static_cast<int>(u), j = static_cast<int>(v);
            const double a = u - i, b = v - j;
            const auto at = [&](const cv::Mat& m) {
                return (1 - a) * (1 - b) * m.at<float>(j, i) + a * (1 - b) * m.at<float>(j, i + 1) +
                       (1 - a) * b * m.at<float>(j + 1, i) + a * b * m.at<float>(j + 1, i + 1);
            };
            map_x.at<float>(y, x) = static_cast<float>(at(cx));
            map_y.at<float>(y, x) = static_cast<float>(at(cy));
        }
    }
    cv::Mat blurred, shot, light;
    cv::GaussianBlur(ref, blurred, cv::Size(), rng.uniform(0.8, 1.6));
    cv::remap(blurred, shot, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(55, 62, 70));
    cv::Mat fshot, noise(camera, CV_32FC3);
    shot.convertTo(fshot, CV_32FC3);
    const double slope = rng.uniform(0.0, 0.2);
    for (int x = 0; x < camera.width; ++x) fshot.col(x) *= 1 - slope * x / camera.width;
    rng.fill(noise, cv::RNG::NORMAL, 0, rng.uniform(2.0, 5.0));
    fshot += noise;
    fshot.convertTo(shot, CV_8UC3);
    return shot;
}

struct Pair {
    std::string group;
    double parameter = 0;
    Forward forward;
    cv::Matx33d plane;  // the planar part, for the inverse's start
};

Pair make_pair(const std::string& group, cv::Size ref, cv::Size cam, cv::RNG& rng) {
    Pair p;
    p.group = group;
    cv::Matx33d plane = similarity(rng.uniform(-6.0, 6.0), rng.uniform(0.92, 1.0));
    if (group == "tilt") plane = plane * tilt(ref, rng.uniform(0.01, 0.05), rng);
    const cv::Point2d c = mapped(plane, cv::Point2d(ref.width / 2.0, ref.height / 2.0));
    plane = cv::Matx33d(1, 0, cam.width / 2.0 - c.x + rng.uniform(-20.0, 20.0), 0, 1,
                        cam.height / 2.0 - c.y + rng.uniform(-20.0, 20.0), 0, 0, 1) *
            plane;
    p.plane = plane;
    const double w = ref.width, h = ref.height;
    if (group == "lens") {
        const double k1 = (rng.uniform(0, 2) ? 1 : -1) * rng.uniform(0.01, 0.06);
        const double half_diagonal = std::hypot(cam.width, cam.height) / 2;
        const cv::Point2d centre(cam.width / 2.0, cam.height / 2.0);
        p.parameter = k1;
        p.forward = [=](cv::Point2d r) {
            const cv::Point2d u = mapped(plane, r) - centre;
            const double rr = (u.x * u.x + u.y * u.y) / (half_diagonal * half_diagonal);
            return centre + u * (1 + k1 * rr);
        };
    } else if (group == "cylinder") {
        const double share = rng.uniform(0.05, 0.3);
        const double radius = w / (2 * CV_PI * share), distance = 2.5 * w;
        p.parameter = share;
        p.forward = [=](cv::Point2d r) {
            const double phi = (r.x - w / 2) / radius;
            const double depth = radius * (1 - std::cos(phi));
            const double near = distance / (distance + depth);
            return mapped(plane, cv::Point2d(w / 2 + radius * std::sin(phi) * near, h / 2 + (r.y - h / 2) * near));
        };
    } else if (group == "wave") {
        const double amplitude = rng.uniform(0.0005, 0.003) * std::max(w, h);
        const double length = rng.uniform(0.5, 1.0) * std::max(w, h), phase = rng.uniform(0.0, 2 * CV_PI);
        p.parameter = amplitude;
        p.forward = [=](cv::Point2d r) {
            return mapped(plane, r + amplitude * cv::Point2d(std::sin(2 * CV_PI * r.y / length + phase),
                                                             std::sin(2 * CV_PI * r.x / length + 2 * phase)));
        };
    } else {
        p.forward = [=](cv::Point2d r) { return mapped(plane, r); };
    }
    return p;
}

// The truth of a result over its camera square: 95th percentile and largest.
std::pair<double, double> true_error(const pairfit::PreciseResult& r, const Forward& f) {
    const cv::Matx33d inverse = r.matrix.inv();
    const cv::Rect2d& q = r.camera_square;
    std::vector<double> e;
    for (double y = q.y; y <= q.br().y; y += q.height / 60) {
        for (double x = q.x; x <= q.br().x; x += q.width / 60) {
            const cv::Point2d d = f(mapped(inverse, cv::Point2d(x, y))) - cv::Point2d(x, y);
            e.push_back(std::hypot(d.x, d.y));
        }
    }
    std::sort(e.begin(), e.end());
    return {e[static_cast<size_t>(0.95 * (e.size() - 1))], e.back()};
}

struct Tally {
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
    const cv::Size ref(2000, 1500), cam(2000, 1500);
    cv::RNG rng(2027);
    std::printf("group     param   subject model       true p95  true max  estimate  corr   method\n");
    std::vector<std::string> groups = {"plain", "tilt", "lens", "cylinder", "wave"};
    std::vector<Tally> tallies(groups.size());
    for (int k = 0; k < per_group * static_cast<int>(groups.size()); ++k) {
        const std::size_t g = k % groups.size();
        const Pair p = make_pair(groups[g], ref, cam, rng);
        const bool grid = k % 4 == 3;
        const cv::Mat img = grid ? make_grid(ref.width, ref.height, 300 + k) : make_label(ref.width, ref.height, 300 + k);
        cv::imwrite(dir + "/ref.png", img);
        cv::imwrite(dir + "/cam.jpg", photograph(img, p.forward, p.plane, cam, rng), {cv::IMWRITE_JPEG_QUALITY, 90});
        for (const pairfit::Model model : {pairfit::Model::similarity, pairfit::Model::homography}) {
            pairfit::PreciseOptions options;
            options.model = model;
            const pairfit::PreciseResult r =
                pairfit::align_precise({dir + "/ref.png", dir + "/cam.jpg", dir, out, true}, options);
            const auto [p95, largest] = true_error(r, p.forward);
            const double estimate = r.misalignment_px;
            Tally& t = tallies[g];
            ++t.pairs;
            t.truth.push_back(p95);
            if (std::isnan(estimate)) {
                ++t.unknown;
            } else {
                t.gaps.push_back(std::abs(estimate - p95));
                if (std::abs(estimate - p95) <= std::max(0.3, p95 / 2)) ++t.good;
            }
            if (p95 > 1 && !(estimate > 1)) ++t.missed;
            std::printf("%-9s %6.3f  %-7s %-10s %9.3f %9.3f %9.3f  %.3f  %s\n", p.group.c_str(), p.parameter,
                        grid ? "grid" : "label", model == pairfit::Model::similarity ? "similarity" : "homography",
                        p95, largest, estimate, r.correlation, r.method.c_str());
            std::fflush(stdout);
        }
    }
    std::printf("\n| group | results | estimate within max(0.3 px, half) | true p95 > 1 px, estimate not | "
                "no estimate | median true p95 | median |estimate - truth| |\n|---|---|---|---|---|---|---|\n");
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const Tally& t = tallies[g];
        std::printf("| %s | %d | %d | %d | %d | %.3f px | %.3f px |\n", groups[g].c_str(), t.pairs, t.good, t.missed,
                    t.unknown, median(t.truth), median(t.gaps));
    }
    std::filesystem::remove_all(dir);
    return 0;
}
