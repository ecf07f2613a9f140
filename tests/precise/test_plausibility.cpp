// Pairs that the output square alone would call aligned: a chart whose
// shapes have twins, a board whose cells are alike; and the gate on the
// correlation search's starts.

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "pairfit/precise.h"
#include "plausibility.h"
#include "feature_estimate.h"
#include "refinement.h"
#include "test_images.h"

namespace {

cv::Matx33d similarity(double degrees, double s) {
    const double a = degrees * CV_PI / 180;
    return cv::Matx33d(s * std::cos(a), -s * std::sin(a), 0, s * std::sin(a), s * std::cos(a), 0, 0, 0, 1);
}

cv::Point2d mapped(const cv::Matx33d& m, cv::Point2d p) {
    const cv::Vec3d v = m * cv::Vec3d(p.x, p.y, 1);
    return {v[0] / v[2], v[1] / v[2]};
}

// The linear part of a truth, moved so that reference point `at` lands on
// camera point `on`.
cv::Matx33d placed(const cv::Matx33d& linear, cv::Point2d at, cv::Point2d on) {
    const cv::Point2d d = on - mapped(linear, at);
    return cv::Matx33d(1, 0, d.x, 0, 1, d.y, 0, 0, 1) * linear;
}

// A camera's view of a print: defocus, a slope of light, sensor noise.
cv::Mat photographed(const cv::Mat& print, cv::Size camera, const cv::Matx33d& truth,
                     std::uint64_t noise_seed = 1) {
    cv::Mat blurred, cam, f;
    cv::GaussianBlur(print, blurred, cv::Size(0, 0), 1.0);
    cv::warpPerspective(blurred, cam, cv::Mat(truth), camera, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(60, 70, 80));
    cv::Mat light(camera, CV_32FC3), noise(camera, CV_32FC3);
    for (int x = 0; x < camera.width; ++x) light.col(x).setTo(cv::Scalar::all(1.0 - 0.15 * x / camera.width));
    cv::RNG(noise_seed).fill(noise, cv::RNG::NORMAL, 0, 3);
    cam.convertTo(f, CV_32FC3);
    cv::Mat(f.mul(light) + noise).convertTo(cam, CV_8UC3);
    return cam;
}

// A line drawn by hand: its points wander a few pixels off the straight
// path, smoothly.
void hand_line(cv::Mat& img, cv::Point2d a, cv::Point2d b, std::mt19937_64& rng) {
    std::normal_distribution<double> wander(0, 1.2);
    const cv::Point2d along = b - a, across = cv::Point2d(-along.y, along.x) * (1 / std::hypot(along.x, along.y));
    std::vector<cv::Point> points;
    double drift = 0;
    for (int k = 0; k <= 24; ++k, drift = 0.7 * drift + wander(rng)) points.emplace_back(a + along * (k / 24.0) + across * drift);
    cv::polylines(img, points, false, cv::Scalar::all(35), 3, cv::LINE_AA);
}

void hand_polygon(cv::Mat& img, const std::vector<cv::Point2d>& c, std::mt19937_64& rng) {
    for (size_t k = 0; k < c.size(); ++k) hand_line(img, c[k], c[(k + 1) % c.size()], rng);
}

// Four outlined shapes drawn by hand: two squares that a half turn about
// the sheet's centre swaps, a circle and a triangle that it does not.
cv::Mat hand_drawn_chart(cv::Size size, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    cv::Mat img(size, CV_8UC3, cv::Scalar(246, 246, 243));
    const cv::Point2d c(size.width / 2.0, size.height / 2.0);
    const double side = size.height * 0.34;
    for (const double dx : {-0.55 * side - side / 2, 0.55 * side + side / 2}) {
        const cv::Point2d m = c + cv::Point2d(dx, 0);
        hand_polygon(img, {m + cv::Point2d(-side / 2, -side / 2), m + cv::Point2d(side / 2, -side / 2),
                           m + cv::Point2d(side / 2, side / 2), m + cv::Point2d(-side / 2, side / 2)}, rng);
    }
    cv::circle(img, cv::Point(static_cast<int>(size.width * 0.82), static_cast<int>(size.height * 0.17)),
               static_cast<int>(size.height * 0.11), cv::Scalar::all(35), 3, cv::LINE_AA);
    const cv::Point2d t(size.width * 0.2, size.height * 0.82);
    const double r = size.height * 0.12;
    hand_polygon(img, {t + cv::Point2d(0, -r), t + cv::Point2d(r, r * 0.7), t + cv::Point2d(-r, r * 0.7)}, rng);
    return img;
}

// A board of `across` x `down` squares of `cell` px on a white margin;
// even by odd, it does not look alike turned.
cv::Mat checkerboard(int across, int down, int cell, int margin) {
    cv::Mat img(down * cell + 2 * margin, across * cell + 2 * margin, CV_8UC3, cv::Scalar::all(245));
    for (int j = 0; j < down; ++j) {
        for (int i = j % 2; i < across; i += 2) {
            cv::rectangle(img, cv::Rect(margin + i * cell, margin + j * cell, cell, cell), cv::Scalar::all(25), cv::FILLED);
        }
    }
    return img;
}

pairfit::PreciseResult aligned(const cv::Mat& img, const cv::Mat& cam, int out, pairfit::Model model) {
    pairfit::AlignRequest request(std::string("ref.png"), std::string("cam.png"), "", out, true);
    request.reference.pixels = img;
    request.camera.pixels = cam;
    request.write_files = false;
    return pairfit::align_precise(request, pairfit::PreciseOptions{true, model});
}

// How far the result puts the reference point shown at the camera square's
// centre from where it belongs, in camera pixels.
double error_at_centre(const pairfit::PreciseResult& r, const cv::Matx33d& truth) {
    const cv::Point2d centre = (r.camera_square.tl() + r.camera_square.br()) / 2;
    return cv::norm(mapped(truth, mapped(r.matrix.inv(), centre)) - centre);
}

}  // namespace

// A tilted camera over a chart whose two squares are twins: the search lays
// one over the other; the whole pair, where the circle and the triangle go
// unmatched, prefers the map that lays the chart over itself.
TEST(Plausibility, ATwinShapeDoesNotMakeAPair) {
    for (const std::uint64_t seed : {1, 2, 3, 9, 14}) {
        for (const std::uint64_t noise : {1, 2}) {
            const cv::Size reference(1200, 900), camera(1300, 1000);
            const cv::Mat chart = hand_drawn_chart(reference, seed);
            const cv::Matx33d tilt(1, 0, 0, 0, 1, 0, 1.2e-4, -0.8e-4, 1);
            const cv::Matx33d truth = placed(similarity(3, 1.0) * tilt, {600, 450}, {650, 500});
            const pairfit::PreciseResult r =
                aligned(chart, photographed(chart, camera, truth, noise), 600, pairfit::Model::homography);
            EXPECT_LT(error_at_centre(r, truth), 1.0) << r.method << " chart " << seed << " noise " << noise;
            EXPECT_GT(r.correlation, pairfit::kPairCorrelation) << "chart " << seed << " noise " << noise;
        }
    }
}

// A board running off a tilted camera's frame on two sides: the visible
// edges decide which cell is which. Cut on all four sides, nothing does:
// the cell found is right here, but the result must say that it may not be.
TEST(Plausibility, ARepeatedPatternIsDecidedByItsVisibleEdgesOrReportedSuspect) {
    const cv::Mat board = checkerboard(12, 9, 80, 60);
    const cv::Size camera(1000, 800);
    const cv::Matx33d truth = placed(similarity(4, 1.1) * cv::Matx33d(1, 0, 0, 0, 1, 0, 1.5e-4, 1e-4, 1), {60, 60}, {120, 100});
    const pairfit::PreciseResult edges = aligned(board, photographed(board, camera, truth), 600, pairfit::Model::homography);
    EXPECT_LT(error_at_centre(edges, truth), 1.0) << edges.method;
    EXPECT_GT(edges.correlation, pairfit::kPairCorrelation);
    const cv::Matx33d inside = placed(similarity(4, 1.3), {540, 420}, {500, 400});
    const pairfit::PreciseResult cut = aligned(board, photographed(board, camera, inside), 600, pairfit::Model::similarity);
    EXPECT_LT(cut.correlation, pairfit::kPairCorrelation) << cut.method;
    EXPECT_NE(cut.method.find("(ambiguous)"), std::string::npos);
}

// A correlation-search start 2 degrees and 2% off a true pair correlates
// below the pair threshold as it stands (0.2 to 0.3), and near 1 once the
// global stage has fitted it: it counts. On an unrelated pair it does not.
TEST(Plausibility, ASearchStartCountsByWhatTheGlobalStageMakesOfIt) {
    const cv::Size size(1000, 760);
    const cv::Mat print = testimg::document_colour(size.height, size.width, 41);
    const cv::Matx33d truth = placed(similarity(2, 0.97), {500, 380}, {510, 370});
    const cv::Mat cam = photographed(print, size, truth);
    const pairfit::CameraMap start(cv::Matx33d(1, 0, 4, 0, 1, -2, 0, 0, 1) * truth * similarity(2, 1.02));
    const pairfit::FeatureEstimate pair = pairfit::reduced_pair(print, cam);
    ASSERT_LT(pairfit::whole_pair_measure(pair, start), pairfit::kPairCorrelation);
    const std::optional<pairfit::GlobalFit> fit = pairfit::search_start_fit(pair, start, pairfit::Motion::similarity);
    ASSERT_TRUE(fit.has_value());
    EXPECT_LT(cv::norm(fit->map(cv::Point2d(500, 380)) - cv::Point2d(510, 370)), 0.5);
    const pairfit::FeatureEstimate unrelated = pairfit::reduced_pair(testimg::document_colour(size.height, size.width, 42), cam);
    EXPECT_FALSE(pairfit::search_start_fit(unrelated, start, pairfit::Motion::similarity).has_value());
}
