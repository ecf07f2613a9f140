// The precise entry and its stages against known transforms.

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "deformable.h"
#include "ecc.h"
#include "feature_estimate.h"
#include "frames.h"
#include "hamming.h"
#include "misalignment.h"
#include "pairfit/pipeline.h"
#include "pairfit/precise.h"
#include "refinement.h"
#include "test_images.h"

namespace {

cv::Mat textured(int rows, int cols, std::uint64_t seed) {
    cv::Mat colour = testimg::document_colour(rows, cols, seed);
    cv::Mat grey, f;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    grey.convertTo(f, CV_32F);
    cv::GaussianBlur(f, f, cv::Size(0, 0), 2.0);
    return f;
}

cv::Matx33d similarity(double degrees, double s, double tx = 0, double ty = 0) {
    const double a = degrees * CV_PI / 180;
    return cv::Matx33d(s * std::cos(a), -s * std::sin(a), tx, s * std::sin(a), s * std::cos(a), ty, 0, 0, 1);
}

cv::Point2d mapped(const cv::Matx33d& m, cv::Point2d p) {
    const cv::Vec3d v = m * cv::Vec3d(p.x, p.y, 1);
    return {v[0] / v[2], v[1] / v[2]};
}

// The largest distance between two maps' images of the corners and centre
// of a square.
double distance_on(const cv::Matx33d& a, const cv::Matx33d& b, const cv::Rect2d& q) {
    double worst = 0;
    for (const cv::Point2d p : {cv::Point2d(q.x + q.width / 2, q.y + q.height / 2), q.tl(), q.br(),
                                cv::Point2d(q.x, q.br().y), cv::Point2d(q.br().x, q.y)}) {
        const cv::Point2d d = mapped(a, p) - mapped(b, p);
        worst = std::max(worst, std::hypot(d.x, d.y));
    }
    return worst;
}

}  // namespace

// One random known motion per model, the start a couple of pixels off.
TEST(EccAlign, RecoversKnownMotionsToAFractionOfAPixel) {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(-1, 1);
    for (const pairfit::Motion motion : {pairfit::Motion::similarity, pairfit::Motion::homography}) {
        for (int trial = 0; trial < 3; ++trial) {
            const cv::Mat in = textured(400, 400, rng());
            cv::Matx33d truth = similarity(u(rng), 1 + 0.03 * u(rng), 60 + 5 * u(rng), 50 + 5 * u(rng));
            if (motion == pairfit::Motion::homography) truth = truth * cv::Matx33d(1, 0, 0, 0, 1, 0, 2e-4 * u(rng), 2e-4 * u(rng), 1);
            // The template is `in` seen through the truth: t(x) = in(truth(x)).
            cv::Mat t;
            cv::warpPerspective(in, t, cv::Mat(truth), cv::Size(260, 260), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
            cv::Matx33d w = cv::Matx33d(1, 0, 3 * u(rng), 0, 1, 3 * u(rng), 0, 0, 1) * truth;
            w(0, 0) += 0.004;
            w(1, 1) += 0.004;
            if (motion == pairfit::Motion::similarity) w(2, 0) = w(2, 1) = 0;
            const cv::Mat valid(in.size(), CV_8U, cv::Scalar(255));
            const double rho = pairfit::ecc_align(t, cv::Mat(), in, valid, w, motion, 80, 1e-3);
            EXPECT_GT(rho, 0.99) << trial;
            EXPECT_LT(distance_on(w, truth, cv::Rect2d(0, 0, 259, 259)), 0.05) << trial;
            if (motion == pairfit::Motion::similarity) {
                EXPECT_NEAR(w(0, 0), w(1, 1), 1e-12);  // stays a similarity
                EXPECT_NEAR(w(0, 1), -w(1, 0), 1e-12);
            }
        }
    }
}

// Steps are taken only uphill: however many steps it is given, the
// correlation never falls below what fewer steps reached, and it is the one
// of the warp returned.
TEST(EccAlign, NeverStepsDownhill) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1, 1);
    cv::Mat grain(300, 300, CV_32F);
    cv::randu(grain, 0, 255);
    cv::GaussianBlur(grain, grain, cv::Size(0, 0), 0.6);
    cv::Mat noisy(grain.size(), CV_32F);
    cv::randn(noisy, 0, 40);
    noisy += grain;
    const cv::Mat valid(grain.size(), CV_8U, cv::Scalar(255));
    const cv::Matx33d truth = similarity(2, 1.0, 40, 40);
    cv::Mat t;
    cv::warpPerspective(grain, t, cv::Mat(truth), cv::Size(200, 200), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
    for (int trial = 0; trial < 2; ++trial) {
        const cv::Matx33d start = cv::Matx33d(1, 0, 3 * u(rng), 0, 1, 3 * u(rng), 0, 0, 1) * truth;
        double reached = -1;
        for (int steps = 0; steps < 20; ++steps) {
            cv::Matx33d w = start;
            const double rho = pairfit::ecc_align(t, cv::Mat(), noisy, valid, w, pairfit::Motion::homography, steps, 0);
            EXPECT_GE(rho, reached) << trial << " after " << steps << " steps";
            cv::Matx33d again = w;
            EXPECT_DOUBLE_EQ(pairfit::ecc_align(t, cv::Mat(), noisy, valid, again, pairfit::Motion::homography, 0, 0), rho);
            reached = rho;
        }
    }
}

// The feature estimate's own ways to the images' grey pyramid and to the
// nearest descriptors find what OpenCV's plain calls find.
TEST(FeatureEstimate, ReducesAndMatchesAsTheLibraryDoes) {
    cv::RNG rng(3);
    cv::Mat bgr(333, 517, CV_8UC3);  // odd sizes, more rows than one band of the first halving
    rng.fill(bgr, cv::RNG::UNIFORM, 0, 256);
    cv::Mat expected;
    cv::cvtColor(bgr, expected, cv::COLOR_BGR2GRAY);
    for (int halvings = 0; halvings < 3; ++halvings) {
        EXPECT_EQ(cv::norm(pairfit::reduced_grey(bgr, halvings), expected, cv::NORM_INF), 0) << halvings;
        cv::pyrDown(expected, expected);
    }
    // Descriptors of few distinct bytes, so that many distances tie.
    cv::Mat from(300, 32, CV_8U), to(200, 32, CV_8U);
    rng.fill(from, cv::RNG::UNIFORM, 0, 4);
    rng.fill(to, cv::RNG::UNIFORM, 0, 4);
    for (const cv::Mat& train : {to, cv::Mat(to.row(0))}) {
        std::vector<std::vector<cv::DMatch>> knn;
        cv::BFMatcher(cv::NORM_HAMMING).knnMatch(from, train, knn, 2);
        const std::vector<pairfit::NearestTwo> nearest = pairfit::nearest_two(from, train);
        ASSERT_EQ(nearest.size(), knn.size());
        for (size_t i = 0; i < knn.size(); ++i) {
            EXPECT_EQ(nearest[i].first, knn[i][0].trainIdx) << i;
            EXPECT_EQ(nearest[i].first_distance, knn[i][0].distance) << i;
            EXPECT_EQ(nearest[i].second, knn[i].size() > 1 ? knn[i][1].trainIdx : -1) << i;
            if (knn[i].size() > 1) {
                EXPECT_EQ(nearest[i].second_distance, knn[i][1].distance) << i;
            }
        }
    }
}

TEST(Frames, ASquareFoldsWhenTurnedOverCutByAVanishingLineOrStretchedPastItsSide) {
    const cv::Rect2d square(300, 200, 400, 400);
    EXPECT_FALSE(pairfit::folds(pairfit::CameraMap(similarity(8, 0.9, 40, -30)), square));
    EXPECT_FALSE(pairfit::folds(pairfit::CameraMap(cv::Matx33d(1, 0, 0, 0, 1, 0, 2e-4, -1e-4, 1)), square));
    // Mirrored: the square is turned over.
    EXPECT_TRUE(pairfit::folds(pairfit::CameraMap(cv::Matx33d(-1, 0, 1000, 0, 1, 0, 0, 0, 1)), square));
    // The line the reference's warp sends to infinity crosses the square
    // (at x = 500).
    const cv::Matx33d vanishing(1, 0, 0, 0, 1, 0, -2e-3, 0, 1);
    EXPECT_TRUE(pairfit::folds(pairfit::CameraMap(vanishing.inv()), square));
    // A perspective short of that, which flings the far corners by more
    // than the side.
    EXPECT_TRUE(pairfit::folds(pairfit::CameraMap(cv::Matx33d(1, 0, 0, 0, 1, 0, 1.38e-3, 0, 1)), square));
}

namespace {

// A print with shapes and lines of small text, photographed through `truth`
// (reference to camera) onto a desk of `camera` size: defocus, a slope of
// light and sensor noise.
struct Photographed {
    cv::Mat img, cam;
    cv::Matx33d truth;
};

cv::Mat print_of(cv::Size size, std::uint64_t seed) {
    cv::Mat img = testimg::document_colour(size.height, size.width, seed);
    std::mt19937_64 rng(seed);
    for (int y = 30; y < size.height - 10; y += 26) {
        cv::putText(img, "LOT " + std::to_string(rng() % 100000) + " EXP 20" + std::to_string(rng() % 90 + 10),
                    cv::Point(static_cast<int>(rng() % 60), y), cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(30, 30, 90),
                    1, cv::LINE_AA);
    }
    return img;
}

Photographed photograph(const cv::Mat& img, cv::Size camera, const cv::Matx33d& truth) {
    Photographed p{img, cv::Mat(), truth};
    cv::Mat blurred;
    cv::GaussianBlur(img, blurred, cv::Size(0, 0), 1.0);
    cv::warpPerspective(blurred, p.cam, cv::Mat(truth), camera, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                        cv::Scalar(60, 70, 80));
    cv::Mat light(camera, CV_32FC3), noise(camera, CV_32FC3), f;
    for (int x = 0; x < camera.width; ++x) light.col(x).setTo(cv::Scalar::all(1.0 - 0.2 * x / camera.width));
    cv::randn(noise, 0, 3);
    p.cam.convertTo(f, CV_32FC3);
    f = f.mul(light) + noise;
    f.convertTo(p.cam, CV_8UC3);
    return p;
}

// A truth that puts the reference's centre `offset` away from the camera's.
cv::Matx33d centred(const cv::Matx33d& linear, cv::Size reference, cv::Size camera, cv::Point2d offset) {
    const cv::Point2d c = mapped(linear, cv::Point2d(reference.width / 2.0, reference.height / 2.0));
    return cv::Matx33d(1, 0, camera.width / 2.0 - c.x + offset.x, 0, 1, camera.height / 2.0 - c.y + offset.y, 0, 0, 1) *
           linear;
}

pairfit::AlignRequest in_memory(const Photographed& p, int out) {
    pairfit::AlignRequest request(std::string("ref.png"), std::string("cam.png"), "", out, true);
    request.reference.pixels = p.img;
    request.camera.pixels = p.cam;
    request.write_files = false;
    return request;
}

pairfit::PreciseResult align(const Photographed& p, int out, pairfit::Model model = pairfit::Model::similarity,
                             bool refine = true) {
    return pairfit::align_precise(in_memory(p, out), pairfit::PreciseOptions{refine, model});
}

// How far, in camera pixels, the result's matrix puts the reference points
// shown at the camera square's centre and corners from where they belong.
double error_of(const pairfit::PreciseResult& r, const cv::Matx33d& truth) {
    const cv::Matx33d inverse = r.matrix.inv();
    return distance_on(truth * inverse, cv::Matx33d::eye(), r.camera_square);
}

// How far the camera crop is from the reference crop, as one shift over
// the whole square (OpenCV's ECC, the reference given the camera's blur).
double crops_apart(const pairfit::PreciseResult& r) {
    cv::Mat t, in;
    cv::cvtColor(r.reference_crop, t, cv::COLOR_BGR2GRAY);
    cv::cvtColor(r.camera_crop, in, cv::COLOR_BGR2GRAY);
    t.convertTo(t, CV_32F);
    in.convertTo(in, CV_32F);
    cv::GaussianBlur(t, t, cv::Size(0, 0), 1.0);
    cv::Mat shift = cv::Mat::eye(2, 3, CV_32F);
    cv::findTransformECC(t, in, shift, cv::MOTION_TRANSLATION,
                         cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-5), cv::Mat(), 1);
    return std::hypot(shift.at<float>(0, 2), shift.at<float>(1, 2));
}

}  // namespace

TEST(PreciseEntry, WithoutRefinementItIsTheExactEntry) {
    const cv::Size reference(900, 700), camera(960, 720);
    const Photographed p = photograph(print_of(reference, 77), camera, centred(similarity(0, 1.02), reference, camera, {20, -12}));
    const testimg::TemporaryDirectory temporary("exact");
    const std::string& dir = temporary.path();
    cv::imwrite(dir + "/ref.png", p.img);
    cv::imwrite(dir + "/cam.png", p.cam);
    const SimMat exact = alignment_ICpair((dir + "/ref.png").c_str(), (dir + "/cam.png").c_str(), (dir + "/e").c_str(), 400, true);
    const pairfit::PreciseResult plain =
        pairfit::align_precise({dir + "/ref.png", dir + "/cam.png", dir + "/p", 400, true}, pairfit::PreciseOptions{false});
    EXPECT_EQ(plain.transform.score, exact.score);
    EXPECT_EQ(plain.transform.s, exact.s);
    EXPECT_EQ(plain.transform.t_x, exact.t_x);
    EXPECT_EQ(plain.transform.t_y, exact.t_y);
    EXPECT_EQ(plain.method, "exact");
    EXPECT_EQ(plain.img_file, dir + "/p/ref_aligned.jpg");
    // The crops pair the warped reference's centre square with the camera's;
    // the matrix is the search's transform in the camera's own pixels, free
    // of the rounding of the search's centre crop.
    EXPECT_DOUBLE_EQ(plain.crop_map(0, 2), exact.t_x + (960 - 400) / 2 - (900 - 400) / 2);
    EXPECT_DOUBLE_EQ(plain.crop_map(1, 2), exact.t_y + (720 - 400) / 2 - (700 - 400) / 2);
    EXPECT_LT(error_of(plain, p.truth), 4.0);  // three pixels to one of the search's fine frame
    EXPECT_GT(plain.correlation, pairfit::kPairCorrelation);
}

// The feature candidate, the global stage (rotation and scale) and the
// near-crop stage together, on random similarities of up to 8 degrees that
// the exact search, without rotation, cannot find alone; the matrix lays
// the reference over a larger, a smaller (fitted to the reference by an
// uneven scale) and an equal camera image.
TEST(PreciseEntry, RecoversRandomSimilaritiesToATenthOfAPixel) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-1, 1);
    const cv::Size reference(1000, 760);
    for (const cv::Size camera : {cv::Size(1150, 900), cv::Size(797, 655), reference}) {
        // A smaller camera image is enlarged by k to fit the reference.
        const double k = camera.width < 1000 || camera.height < 760 ? std::min(1000.0 / camera.width, 760.0 / camera.height) : 1.0;
        const cv::Matx33d linear = similarity(4 + 4 * u(rng), (1 + 0.08 * u(rng)) / k);
        const Photographed p = photograph(print_of(reference, rng()), camera,
                                          centred(linear, reference, camera, {40 * u(rng), 30 * u(rng)}));
        const pairfit::PreciseResult r = align(p, 400);
        EXPECT_EQ(r.outcome, pairfit::Outcome::aligned);
        EXPECT_LT(error_of(r, p.truth), 0.1) << r.method << " camera " << camera;
        EXPECT_NEAR(r.camera_square.width, 400 / k, 1.0);
        // The crops themselves lie over each other: a smaller camera's crop
        // is cut from the camera enlarged, whose pixel centres move by half
        // a pixel of each size.
        EXPECT_LT(crops_apart(r), 0.08) << camera;
    }
}

// A camera that is not square-on: a homography with the corners moved by
// about 4% of the longer side, recovered to a tenth of a pixel.
TEST(PreciseEntry, RecoversAKnownHomographyToATenthOfAPixel) {
    const cv::Size reference(1000, 760), camera(1100, 860);
    const cv::Matx33d tilt(1, 0, 0, 0, 1, 0, 4e-5, -3e-5, 1);
    const Photographed p = photograph(print_of(reference, 5), camera, centred(similarity(3, 1.02) * tilt, reference, camera, {25, -15}));
    const pairfit::PreciseResult h = align(p, 400, pairfit::Model::homography);
    EXPECT_LT(error_of(h, p.truth), 0.1) << h.method;
    EXPECT_EQ(h.method, "features+ecc:homography");
}

// A strong tilt on a print blank around where the output square shows it:
// the true map sees nothing to correlate near the square, while the exact
// search's map, a little off, sees some print there and would win if the
// candidates were not compared over the whole pair. With nothing in the
// square to correlate, the pair is told a pair by the rest of it, by both
// entries.
TEST(PreciseEntry, RecoversAHomographyWhereTheSquareShowsBlankPaper) {
    const cv::Size reference(1000, 760), camera(1100, 860);
    cv::Mat print = print_of(reference, 5);
    print(cv::Rect(180, 128, 627, 542)).setTo(cv::Scalar::all(245));
    const cv::Matx33d tilt(1, 0, 0, 0, 1, 0, 3e-4, -2e-4, 1);
    const Photographed p = photograph(print, camera, centred(similarity(3, 1.02) * tilt, reference, camera, {25, -15}));
    const pairfit::PreciseResult h = align(p, 400, pairfit::Model::homography);
    EXPECT_LT(error_of(h, p.truth), 1.0) << h.method;
    EXPECT_GT(h.correlation, pairfit::kPairCorrelation);
    const Photographed square_on = photograph(print, camera, centred(similarity(0, 1), reference, camera, {0, 0}));
    const pairfit::PreciseResult exact = align(square_on, 400, pairfit::Model::similarity, false);
    EXPECT_GT(exact.correlation, pairfit::kPairCorrelation);
}

// A sheet of equal cells, each with the same marks and its own small number:
// every cell's features have the same neighbours, so none pass the ratio
// test, and the exact search, without rotation, may settle a cell away.
// Turned by 7 degrees and shrunk by a tenth, the map comes from the
// correlation search and lands on the right cell.
TEST(PreciseEntry, FindsTheRightCellOfARepeatedPattern) {
    const cv::Size size(720, 560);
    cv::Mat sheet(size, CV_8UC3, cv::Scalar(236, 232, 226));
    std::mt19937_64 rng(8);
    for (int y = 24; y + 48 < size.height; y += 48) {
        for (int x = 24; x + 48 < size.width; x += 48) {
            cv::rectangle(sheet, cv::Rect(x, y, 48, 48), cv::Scalar(80, 40, 35), 1);
            cv::circle(sheet, cv::Point(x + 24, y + 26), 9, cv::Scalar(40, 45, 205), cv::FILLED, cv::LINE_AA);
            cv::putText(sheet, std::to_string(rng() % 99 + 1), cv::Point(x + 4, y + 15), cv::FONT_HERSHEY_SIMPLEX, 0.35,
                        cv::Scalar(35, 30, 28), 1, cv::LINE_AA);
        }
    }
    const Photographed p = photograph(sheet, size, centred(similarity(7, 0.9), size, size, {10, -6}));
    const pairfit::PreciseResult r = align(p, 400);
    EXPECT_LT(error_of(r, p.truth), 0.1) << r.method;
    EXPECT_EQ(r.method, "correlation+ecc");
}

// A sparse label, a thin frame and a few short lines on white, from a
// tilted camera under a shadow: at the global stage's level the thin lines
// blur and hide most of the similarity's misfit (the homography removes a
// fifth of what it leaves uncorrelated there, half at the reduced images'
// own resolution); the homography is kept.
TEST(PreciseEntry, KeepsATiltThatASparseLabelHides) {
    const cv::Size reference(1600, 1200), camera(1700, 1320);
    cv::Mat label(reference, CV_8UC3, cv::Scalar::all(250));
    cv::rectangle(label, cv::Rect(48, 48, 1504, 1104), cv::Scalar::all(30), 3);
    std::mt19937_64 rng(2);
    for (int k = 0; k < 5; ++k) {
        cv::putText(label, "LOT A-" + std::to_string(rng() % 9000 + 1000), cv::Point(100 + rng() % 700, 150 + rng() % 950),
                    cv::FONT_HERSHEY_SIMPLEX, 1.4, cv::Scalar::all(30), 3, cv::LINE_AA);
    }
    const cv::Matx33d tilt(1, 0, 0, 0, 1, 0, 1e-5, -1.5e-5, 1);
    Photographed p = photograph(label, camera, centred(similarity(2, 1.0) * tilt, reference, camera, {20, 10}));
    cv::Mat shade(camera, CV_32FC3, cv::Scalar::all(1.0)), f;
    shade(cv::Rect(0, 0, camera.width * 2 / 5, camera.height)).setTo(cv::Scalar::all(0.5));
    cv::GaussianBlur(shade, shade, cv::Size(0, 0), 10);
    p.cam.convertTo(f, CV_32FC3);
    cv::Mat(f.mul(shade)).convertTo(p.cam, CV_8UC3);
    const pairfit::PreciseResult h = align(p, 400, pairfit::Model::homography);
    // The similarity leaves about 6 px; the homography's fit on this faint a
    // pair varies with the compiler's arithmetic (0.1 px with GCC, 1.3 px
    // with Clang's sanitizer build), so the bound is on the choice.
    EXPECT_LT(error_of(h, p.truth), 3.0) << h.method;
    EXPECT_EQ(h.method, "features+ecc:homography");
}

// A print that is not quite flat (curled by up to 1.5 px across, most in the
// middle): the global stage fits the whole pair on average; the near-crop
// stage moves the output square to where its own content is.
TEST(PreciseEntry, PutsTheSquareRightOnACurledPrint) {
    const cv::Size size(1000, 760);
    const cv::Matx33d truth = centred(similarity(2, 1.01), size, size, {0, 0});
    Photographed p = photograph(print_of(size, 61), size, truth);
    const auto curl = [&size](double x) { return 1.5 * std::sin(CV_PI * x / size.width); };
    cv::Mat map_x(size, CV_32F), map_y(size, CV_32F);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            map_x.at<float>(y, x) = static_cast<float>(x - curl(x));
            map_y.at<float>(y, x) = static_cast<float>(y);
        }
    }
    cv::remap(p.cam.clone(), p.cam, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    const pairfit::PreciseResult r = align(p, 400);
    const cv::Point2d centre(r.camera_square.x + 200, r.camera_square.y + 200);
    // The reference point truly at the centre, and the one the result puts there.
    const cv::Point2d shown = mapped(r.matrix.inv(), centre);
    const cv::Point2d truly = mapped(truth.inv(), centre - cv::Point2d(curl(centre.x), 0));
    const cv::Point2d miss = mapped(truth, shown) - mapped(truth, truly);
    // A shift fitted over the window leaves a part of the curl's change
    // across it; the whole pair's fit is off by half a pixel.
    EXPECT_LT(std::hypot(miss.x, miss.y), 0.25) << r.method;
}

// Camera images of something else, another print and a white sheet with
// one dot: the refinement finds nothing better than the exact search's
// match and must not trade it for a worse one; the correlation tells them
// from a pair.
TEST(PreciseEntry, TellsAPairThatIsNotAPair) {
    for (const std::uint64_t seed : {3, 4}) {
        const cv::Size size(900, 700);
        const Photographed p = photograph(print_of(size, seed + 100), size, similarity(2, 1));
        Photographed other = p, dot = p;
        other.img = print_of(size, seed);
        dot.cam = cv::Mat(size, CV_8UC3, cv::Scalar::all(240));
        cv::circle(dot.cam, cv::Point(300, 300), 12, cv::Scalar::all(20), cv::FILLED);
        for (const Photographed& unrelated : {other, dot}) {
            const pairfit::PreciseResult exact = align(unrelated, 400, pairfit::Model::similarity, false);
            const pairfit::PreciseResult r = align(unrelated, 400);
            EXPECT_GE(r.transform.score, exact.transform.score - 0.02) << r.method << " seed " << seed;
            EXPECT_LT(r.correlation, pairfit::kPairCorrelation);
        }
        EXPECT_GT(align(p, 400).correlation, pairfit::kPairCorrelation);
    }
}

// The global stage on the two reduced images: from a start 1 degree, 2% and
// a few pixels off it lands on the truth; on a pair aligned already it has
// nothing to report, so that no refinement is claimed that did not help.
TEST(PreciseStages, GlobalStageRecoversASimilarityAndReportsOnlyGains) {
    const cv::Size size(640, 480);
    const cv::Matx33d truth = similarity(2, 0.97, 12, -9);
    const Photographed p = photograph(print_of(size, 41), size, truth);
    pairfit::FeatureEstimate reduced;
    cv::cvtColor(p.img, reduced.img_small, cv::COLOR_BGR2GRAY);
    cv::cvtColor(p.cam, reduced.cam_small, cv::COLOR_BGR2GRAY);
    const pairfit::CameraMap start(cv::Matx33d(1, 0, 4, 0, 1, -3, 0, 0, 1) * truth * similarity(1, 1.02));
    const std::optional<pairfit::GlobalFit> fit = pairfit::refine_globally(reduced, start, pairfit::Motion::similarity, false);
    ASSERT_TRUE(fit.has_value());
    EXPECT_LT(distance_on(fit->map.matrix(), truth, cv::Rect2d(120, 90, 400, 300)), 0.1);
    pairfit::FeatureEstimate same = reduced;
    same.cam_small = reduced.img_small.clone();
    EXPECT_FALSE(pairfit::refine_globally(same, pairfit::CameraMap(), pairfit::Motion::similarity, false).has_value());
}

namespace {

pairfit::PairView view_of(const Photographed& p, int out) {
    const double side = out;
    return {p.img, p.cam, cv::Rect2d((p.cam.cols - side) / 2, (p.cam.rows - side) / 2, side, side), out};
}

}  // namespace

// The near-crop stage polishes; it does not search. From a start 12 px off
// (as when the global stage failed) it declines, so that the candidates'
// choice stands; from a start within a few pixels it lands on the truth.
TEST(PreciseStages, NearCropStagePolishesAndDeclinesFarStarts) {
    const cv::Size size(900, 700);
    const Photographed p = photograph(print_of(size, 21), size, similarity(1, 1.0, 6, -4));
    const pairfit::PairView view = view_of(p, 400);
    const auto start = [&p](double dx, double dy) {
        return pairfit::CameraMap(cv::Matx33d(1, 0, dx, 0, 1, dy, 0, 0, 1) * p.truth);
    };
    const std::optional<pairfit::CameraMap> near = pairfit::refine_near_crop(view, start(2.5, -1.5), pairfit::Motion::shift);
    ASSERT_TRUE(near.has_value());
    EXPECT_LT(distance_on(near->matrix(), p.truth, cv::Rect2d(250, 150, 400, 400)), 0.1);
    EXPECT_FALSE(pairfit::refine_near_crop(view, start(9.5, 0), pairfit::Motion::shift).has_value());
}

namespace {

using ReferenceOf = std::function<cv::Point2d(cv::Point2d)>;

// The print seen through a camera that bends it: `reference_of` takes each
// camera pixel to the reference pixel it shows.
Photographed photograph_bent(const cv::Mat& img, const ReferenceOf& reference_of) {
    cv::Mat sources(img.size(), CV_32FC2), blurred;
    for (int y = 0; y < img.rows; ++y) {
        for (int x = 0; x < img.cols; ++x) {
            const cv::Point2d p = reference_of(cv::Point2d(x, y));
            sources.at<cv::Vec2f>(y, x) = cv::Vec2f(static_cast<float>(p.x), static_cast<float>(p.y));
        }
    }
    Photographed p{img, cv::Mat(), cv::Matx33d::eye()};
    cv::GaussianBlur(img, blurred, cv::Size(0, 0), 1.0);
    cv::Mat noise(img.size(), CV_32FC3), f;
    cv::remap(blurred, p.cam, sources, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(60, 70, 80));
    // Its own generator: the noise does not depend on which tests ran before.
    cv::RNG(7).fill(noise, cv::RNG::NORMAL, 0, 3);
    p.cam.convertTo(f, CV_32FC3);
    cv::Mat(f + noise).convertTo(p.cam, CV_8UC3);
    return p;
}

// Over points 20 px apart on the camera's output square, the distance
// between a camera point and where the result's whole map puts the
// reference point truly shown there, sorted.
std::vector<double> square_errors(const pairfit::PreciseResult& r, const ReferenceOf& reference_of) {
    std::vector<cv::Point2d> camera, reference;
    for (double y = r.camera_square.y; y <= r.camera_square.br().y; y += 20) {
        for (double x = r.camera_square.x; x <= r.camera_square.br().x; x += 20) {
            camera.emplace_back(x, y);
            reference.push_back(reference_of(camera.back()));
        }
    }
    const std::vector<cv::Point2d> mapped = pairfit::map_points(r.matrix, r.field, reference);
    std::vector<double> errors;
    for (size_t i = 0; i < camera.size(); ++i) errors.push_back(std::hypot(mapped[i].x - camera[i].x, mapped[i].y - camera[i].y));
    std::sort(errors.begin(), errors.end());
    return errors;
}

// The largest of them.
double square_error(const pairfit::PreciseResult& r, const ReferenceOf& reference_of) {
    return square_errors(r, reference_of).back();
}

// Their 95th percentile.
double square_p95(const pairfit::PreciseResult& r, const ReferenceOf& reference_of) {
    const std::vector<double> errors = square_errors(r, reference_of);
    return errors[errors.size() * 95 / 100];
}

// A smooth photograph of 1000x760 px (shading, no strokes): random colours
// 50 px apart, blended.
cv::Mat smooth_photograph(std::uint64_t seed) {
    cv::Mat print(15, 20, CV_8UC3);
    cv::RNG(seed).fill(print, cv::RNG::UNIFORM, 40, 215);
    cv::resize(print, print, cv::Size(1000, 760), 0, 0, cv::INTER_CUBIC);
    return print;
}

// A photograph (shading and fine grain) from a camera tilted so slightly
// that the best similarity is 1.2 px off at a large square's corners,
// recovered to a tenth of a pixel: the features' homography and similarity
// are within 0.1-0.2% of the image at the print's corners, where their
// noise on a similarity pair goes too.
TEST(PreciseEntry, RecoversASlightTiltOfAPhotograph) {
    const cv::Size reference(1000, 760), camera(1100, 860);
    cv::Mat grain(190, 250, CV_8UC3);
    cv::RNG(52).fill(grain, cv::RNG::UNIFORM, 0, 60);
    cv::resize(grain, grain, reference, 0, 0, cv::INTER_CUBIC);
    const cv::Mat print = smooth_photograph(2) + grain - cv::Scalar::all(30);
    const cv::Matx33d tilt(1, 0, 0, 0, 1, 0, 3e-6, -2e-6, 1);
    const Photographed p = photograph(print, camera, centred(similarity(3, 1.02) * tilt, reference, camera, {25, -15}));
    const pairfit::PreciseResult h = align(p, 700, pairfit::Model::homography);
    EXPECT_LT(error_of(h, p.truth), 0.1) << h.method;
    EXPECT_EQ(h.method, "features+ecc:homography");
}

// Barrel distortion, a print wrapped over a fifth of a cylinder, a wave of
// paper and a curled corner, each on a slightly turned print: no homography
// comes within pixels of them; the field does within a pixel everywhere on
// the square.
ReferenceOf lens(double k1) {
    return [k1](cv::Point2d q) {
        const cv::Point2d rel = (q - cv::Point2d(500, 380)) * (1 / 1000.0);
        cv::Point2d u = rel;
        for (int i = 0; i < 40; ++i) u = rel * (1 / (1 + k1 * u.dot(u)));
        return mapped(similarity(-1.5, 1 / 0.93, 40, 30), cv::Point2d(500, 380) + u * 1000.0);
    };
}

ReferenceOf cylinder(double share) {
    const double radius = 1000 / (2 * CV_PI * share);
    return [radius](cv::Point2d q) {
        const double a = std::asin(std::clamp((q.x - 500) / radius, -1.0, 1.0));
        return mapped(similarity(1, 1.0, 8, -6), cv::Point2d(500 + radius * a, q.y));
    };
}

// Waves of 2 pi `length` pixels along x.
ReferenceOf wave(double amplitude, double length = 160) {
    return [amplitude, length](cv::Point2d q) {
        return mapped(similarity(2, 1.01, -10, 5), q + cv::Point2d(0.6, 0.8) * (amplitude * std::sin(q.x / length + 0.4 * q.y / length)));
    };
}

// The corner at (1000, 760) lifted over a roll of radius `radius` from the
// fold line x + y = 1160 on, seen from above: paper t pixels past the line
// shows r asin(t / r) of the print.
ReferenceOf curled_corner(double radius) {
    return [radius](cv::Point2d q) {
        const cv::Point2d n(std::sqrt(0.5), std::sqrt(0.5));
        const double t = std::max(0.0, (q.x + q.y - 1160) * n.x);
        const cv::Point2d flat = q + n * (radius * std::asin(std::min(1.0, t / radius)) - t);
        return mapped(similarity(-1, 1.0, 5, 4), flat);
    };
}

// A reference crop and a camera crop whose content is moved by `field`
// (square pixels), blurred and noisy as a camera's; and the true 95th
// percentile of the field's length over the square.
struct Crops {
    cv::Mat reference, camera, content;
    double truth = 0;
};

Crops crops_moved_by(const cv::Mat& reference, const std::function<cv::Point2d(cv::Point2d)>& field) {
    Crops c{reference, cv::Mat(), cv::Mat(reference.size(), CV_8U, cv::Scalar(255)), 0};
    cv::Mat map_x(reference.size(), CV_32F), map_y(reference.size(), CV_32F);
    std::vector<double> lengths;
    for (int y = 0; y < reference.rows; ++y) {
        for (int x = 0; x < reference.cols; ++x) {
            // The camera shows at p + field(p) what the reference shows at p.
            const cv::Point2d d = field(cv::Point2d(x, y));
            map_x.at<float>(y, x) = static_cast<float>(x - d.x);
            map_y.at<float>(y, x) = static_cast<float>(y - d.y);
            lengths.push_back(std::hypot(d.x, d.y));
        }
    }
    std::sort(lengths.begin(), lengths.end());
    c.truth = lengths[lengths.size() * 95 / 100];
    cv::Mat blurred, noise(reference.size(), CV_32FC3), f;
    cv::GaussianBlur(reference, blurred, cv::Size(0, 0), 1.2);
    cv::remap(blurred, f, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_REFLECT);
    f.convertTo(f, CV_32FC3);
    cv::randn(noise, 0, 3);
    cv::Mat(f + noise).convertTo(c.camera, CV_8UC3);
    return c;
}

double misalignment_of(const Crops& c) {
    return pairfit::misalignment_px(pairfit::local_shifts(c.reference, c.camera, c.content), c.reference.cols, 1.0);
}

}  // namespace

TEST(DeformableModel, RecoversALensACylinderAWaveAndACurledCorner) {
    const cv::Mat print = print_of(cv::Size(1000, 760), 91);
    for (const auto& [name, truth] : {std::pair<std::string, ReferenceOf>("lens", lens(-0.1)),
                                      std::pair<std::string, ReferenceOf>("cylinder", cylinder(0.2)),
                                      std::pair<std::string, ReferenceOf>("wave", wave(8)),
                                      std::pair<std::string, ReferenceOf>("curled corner", curled_corner(500))}) {
        const Photographed p = photograph_bent(print, truth);
        const pairfit::PreciseResult h = align(p, 600, pairfit::Model::homography);
        const pairfit::PreciseResult d = align(p, 600, pairfit::Model::deformable);
        EXPECT_GT(square_error(h, truth), 2.0) << name;
        EXPECT_LT(square_error(d, truth), 1.0) << name << " " << d.method;
        // The estimate within the band a user reads it by.
        const double p95 = square_p95(d, truth);
        EXPECT_NEAR(d.misalignment_px, p95, std::max(0.3, p95 / 2)) << name;
        EXPECT_EQ(d.method.substr(d.method.find(':')), ":deformable") << name;
    }
}

// A flat print turned and tilted: the field would fit noise, so the result
// is the homography's to the bit, and says why. Also a smooth photograph on
// a dark disc (a retina, a plate), where a field gains a little by bending
// the disc's blurred edge and would be half a pixel off inside it.
TEST(DeformableModel, LeavesAFlatPrintToTheHomography) {
    const cv::Size size(1000, 760);
    cv::Mat disc = smooth_photograph(10), outside(size, CV_8U, cv::Scalar(255));
    cv::circle(outside, cv::Point(500, 380), 360, cv::Scalar(0), cv::FILLED, cv::LINE_AA);
    disc.setTo(cv::Scalar::all(8), outside);
    for (const auto& [print, method] : {std::pair<cv::Mat, std::string>(print_of(size, 17), "features"),
                                        std::pair<cv::Mat, std::string>(disc, "correlation")}) {
        const Photographed p = photograph(print, size, centred(similarity(3, 0.98) * cv::Matx33d(1, 0, 0, 0, 1, 0, 3e-5, -2e-5, 1), size, size, {15, -10}));
        const pairfit::PreciseResult h = align(p, 600, pairfit::Model::homography);
        const pairfit::PreciseResult d = align(p, 600, pairfit::Model::deformable);
        EXPECT_EQ(d.method, method + "+ecc:homography (deformable not needed)");
        EXPECT_TRUE(d.field.empty());
        EXPECT_EQ(cv::norm(d.matrix, h.matrix, cv::NORM_INF), 0);
        EXPECT_EQ(cv::norm(d.reference_crop, h.reference_crop, cv::NORM_INF), 0);
        // (A smooth photograph has too few windows to tell: NaN from both.)
        EXPECT_TRUE(d.misalignment_px == h.misalignment_px ||
                    (std::isnan(d.misalignment_px) && std::isnan(h.misalignment_px)));
    }
}

// Sharp only in its middle: over the blurred rest the field drifts by most
// of a pixel and gains nothing, and is left out.
TEST(DeformableModel, LeavesOutAFieldThatGainsNothing) {
    cv::Mat print;
    cv::GaussianBlur(smooth_photograph(13), print, cv::Size(), 24);
    const cv::Rect middle(350, 265, 300, 230);
    print_of(print.size(), 20)(middle).copyTo(print(middle));
    const ReferenceOf flat = [](cv::Point2d q) { return mapped(similarity(4, 1.01, -10, 5), q); };
    const pairfit::PreciseResult d = align(photograph_bent(print, flat), 600, pairfit::Model::deformable);
    EXPECT_TRUE(d.field.empty()) << d.method;
}

// Points carried to the camera and back land where they started, and the
// reference crop shows at each pixel the reference pixel the map carries
// there.
TEST(DeformableModel, MapsPointsBothWaysAsTheCropsShowThem) {
    const cv::Mat print = print_of(cv::Size(1000, 760), 92);
    const pairfit::PreciseResult r = align(photograph_bent(print, lens(0.09)), 400, pairfit::Model::deformable);
    ASSERT_FALSE(r.field.empty()) << r.method;
    std::vector<cv::Point2d> square;
    for (int k = 0; k < 50; ++k) square.emplace_back(r.camera_square.x + (k * 37) % 400, r.camera_square.y + (k * 53) % 400);
    const std::vector<cv::Point2d> reference = pairfit::map_points(r.matrix, r.field, square, true);
    const std::vector<cv::Point2d> back = pairfit::map_points(r.matrix, r.field, reference);
    for (size_t k = 0; k < square.size(); ++k) {
        EXPECT_LT(cv::norm(back[k] - square[k]), 1e-6) << k;
        cv::Mat pixel;
        cv::getRectSubPix(print, cv::Size(1, 1), cv::Point2f(reference[k]), pixel);
        const cv::Point q(static_cast<int>(square[k].x - r.camera_square.x), static_cast<int>(square[k].y - r.camera_square.y));
        EXPECT_LT(cv::norm(cv::Vec3d(pixel.at<cv::Vec3b>(0, 0)) - cv::Vec3d(r.reference_crop.at<cv::Vec3b>(q))), 6.0) << k;
    }
}

// A field that turns part of the square over, or squeezes it below a quarter
// of the homography's area, is refused; a milder squeeze is kept.
TEST(DeformableModel, RefusesAFieldThatFoldsOrCrushesPartOfTheSquare) {
    const pairfit::CameraMap twice(cv::Matx33d(2, 0, 100, 0, 2, 50, 0, 0, 1));
    const cv::Rect2d square(100, 50, 1200, 1200);  // reference 0..600 both ways
    // Right of reference x 300, the field takes `slope` off the homography's 2.
    const auto squeezed = [](double slope) {
        pairfit::DisplacementField f{{-200, -200}, 50, cv::Mat(21, 21, CV_64F), cv::Mat::zeros(21, 21, CV_64F)};
        for (int i = 0; i < 21; ++i) f.dx.col(i).setTo(-slope * std::max(0.0, 50.0 * i - 500));
        return f;
    };
    EXPECT_FALSE(pairfit::field_folds(twice, squeezed(1.4), square));  // 0.3 of the area
    EXPECT_TRUE(pairfit::field_folds(twice, squeezed(1.6), square));   // 0.2
    EXPECT_TRUE(pairfit::field_folds(twice, squeezed(3.0), square));   // turned over
}

// Points a map cannot take come back NaN, never as some other point: NaN
// ones (chained calls pass an inverse's on), those behind the camera, and all
// of a result without a map (an all-zero matrix).
TEST(DeformableModel, PointsTheMapCannotTakeComeBackNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const pairfit::DisplacementField field{{-100, -100}, 100, cv::Mat(6, 6, CV_64F, cv::Scalar(2.0)),
                                           cv::Mat(6, 6, CV_64F, cv::Scalar(-1.0))};
    const cv::Matx33d tilted(1, 0, 0, 0, 1, 0, 0.001, 0, 1);  // horizon at x = -1000
    const auto nowhere = [](cv::Point2d p) { return std::isnan(p.x) && std::isnan(p.y); };
    EXPECT_TRUE(nowhere(field.at({10, nan})));
    for (const pairfit::DisplacementField& f : {field, pairfit::DisplacementField{}}) {
        const std::vector<cv::Point2d> there = pairfit::map_points(tilted, f, {{nan, 10}, {-2000, 0}, {100, 0}});
        const std::vector<cv::Point2d> back = pairfit::map_points(tilted, f, {{2000, 0}, there[2]}, true);
        EXPECT_TRUE(nowhere(there[0]) && nowhere(there[1]) && nowhere(back[0])) << there[1] << back[0];
        EXPECT_LT(cv::norm(back[1] - cv::Point2d(100, 0)), 1e-6);
        EXPECT_TRUE(nowhere(pairfit::map_points(cv::Matx33d::zeros(), f, {{10, 20}}, !f.empty())[0]));
    }
}

// The crops' own estimate of how far apart they are, against fields of known
// size: none, a shift, the bend of a print curved on a bottle (largest at
// the square's edges, which no window's centre reaches) and the swirl of a
// lens. Within max(0.3 px, half) of the truth; unknown (NaN) where the
// square shows nothing or only a straight edge to measure.
TEST(Misalignment, EstimatesHowFarApartTheCropsAre) {
    const cv::Mat print = print_of(cv::Size(600, 600), 12);
    const double h = 300;
    const std::vector<std::function<cv::Point2d(cv::Point2d)>> fields = {
        [](cv::Point2d) { return cv::Point2d(0, 0); },
        [](cv::Point2d) { return cv::Point2d(0.4, -0.3); },
        [h](cv::Point2d p) { return cv::Point2d(3 * std::pow((p.x - h) / h, 3), 0); },
        [h](cv::Point2d p) { return 1.2 * cv::Point2d(p.y - h, h - p.x) * (std::hypot(p.x - h, p.y - h) / (h * h)); },
    };
    for (std::size_t k = 0; k < fields.size(); ++k) {
        const Crops c = crops_moved_by(print, fields[k]);
        const double estimate = misalignment_of(c);
        EXPECT_NEAR(estimate, c.truth, std::max(0.3, c.truth / 2)) << k;
        if (k == 0) {
            EXPECT_LT(estimate, 0.1);
        }
    }
    cv::Mat blank(600, 600, CV_8UC3, cv::Scalar::all(240)), edge = blank.clone();
    edge(cv::Rect(0, 300, 600, 300)).setTo(cv::Scalar::all(30));
    EXPECT_TRUE(std::isnan(misalignment_of(crops_moved_by(blank, fields[1]))));
    EXPECT_TRUE(std::isnan(misalignment_of(crops_moved_by(edge, fields[1]))));
    // Shading without strokes (a smooth photograph): a misfit of pixels
    // shows, and the camera's noise on it reads as no misfit.
    cv::Mat shading(20, 20, CV_8UC3);
    cv::RNG(5).fill(shading, cv::RNG::UNIFORM, 64, 192);
    cv::resize(shading, shading, cv::Size(600, 600), 0, 0, cv::INTER_CUBIC);
    const Crops gross = crops_moved_by(shading, [](cv::Point2d) { return cv::Point2d(3, -2); });
    EXPECT_NEAR(misalignment_of(gross), gross.truth, gross.truth / 2);
    // A square measured halved counts a faint window's shift in its own
    // pixels: a misfit of 1.4 px shows there too.
    cv::resize(shading, shading, cv::Size(1200, 1200), 0, 0, cv::INTER_CUBIC);
    const Crops slight = crops_moved_by(shading, [](cv::Point2d) { return cv::Point2d(1.2, -0.8); });
    EXPECT_GT(misalignment_of(slight), 1.0);
    Crops still = crops_moved_by(shading, fields[0]);  // measured halved
    cv::Mat light(still.camera.size(), CV_32FC3);
    for (int x = 0; x < light.cols; ++x) light.col(x).setTo(cv::Scalar(0.8, 1.0, 1.2) * (1 - 0.2 * x / light.cols));
    still.camera.convertTo(still.camera, CV_32FC3);
    cv::Mat(still.camera.mul(light)).convertTo(still.camera, CV_8UC3);
    EXPECT_FALSE(misalignment_of(still) > 0.3) << misalignment_of(still);
}

// A window caught on the wrong stroke (1.2 px) among windows that measure
// only noise, at the tenths of the square a label's content leaves them:
// the field is fitted without it, and it must not carry the field further.
TEST(Misalignment, AStrayWindowDoesNotCarryTheFieldFurther) {
    const int tenths[][2] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {8, 0},
                             {0, 2}, {1, 2}, {2, 2}, {6, 2}, {6, 3}, {0, 5}, {0, 6}, {3, 6}, {6, 6},
                             {3, 7}, {4, 7}, {5, 7}, {6, 7}, {7, 7}, {8, 7}, {9, 7}, {0, 9}};
    for (int seed = 0; seed < 20; ++seed) {
        cv::RNG rng(seed);
        std::vector<pairfit::LocalShift> shifts;
        for (const auto& t : tenths) {
            const double dx = rng.gaussian(0.05), dy = rng.gaussian(0.05);
            shifts.push_back({cv::Point2d(t[0] + 0.5, t[1] + 0.5) * 120.0, cv::Point2d(dx, dy)});
        }
        const double without = pairfit::misalignment_px(shifts, 1200, 1.0);
        shifts.push_back({cv::Point2d(8.5, 2.5) * 120.0, cv::Point2d(1.2, 0)});
        EXPECT_LT(pairfit::misalignment_px(shifts, 1200, 1.0), without + 0.12) << seed;
    }
}

// A smooth photograph (shading, no strokes) under waves of half its width:
// its shading tells the field in every cell of a fine grid.
TEST(DeformableModel, FollowsWavesOverASmoothPhotograph) {
    const cv::Mat print = smooth_photograph(8);
    const pairfit::PreciseResult d = align(photograph_bent(print, wave(6, 85)), 600, pairfit::Model::deformable);
    EXPECT_LT(square_error(d, wave(6, 85)), 1.0) << d.method;
}

// A print with square patches of blank paper between its lines.
cv::Mat print_with_blank_patches(std::uint64_t seed) {
    cv::Mat print = print_of(cv::Size(1000, 760), seed);
    const cv::Scalar paper = print.at<cv::Vec3b>(5, 5);
    for (int y = 40; y + 150 <= 760; y += 250) {
        for (int x = 40; x + 150 <= 1000; x += 250) print(cv::Rect(x, y, 150, 150)).setTo(paper);
    }
    return print;
}

// Waves of half the print over a print with blank patches of paper between
// its lines: too few cells have content for the finest grid, yet only it
// follows waves that short, and over the patches it is still a guess.
TEST(DeformableModel, FollowsShortWavesOverAPrintWithBlankPatches) {
    const cv::Mat print = print_with_blank_patches(95);
    const pairfit::PreciseResult d = align(photograph_bent(print, wave(6, 85)), 600, pairfit::Model::deformable);
    // The coarsest grid is 4 px off at the 95th percentile; the finest under
    // its usual bending 1.3 px.
    const double p95 = square_p95(d, wave(6, 85));
    EXPECT_LT(p95, 1.0) << d.method;
    // Most off across the patches, where no window of the crops looks: the
    // estimate tells how far.
    EXPECT_NEAR(d.misalignment_px, p95, std::max(0.3, p95 / 2));
}

// Waves of four fifths of the print, 9 px high, over blank patches: the
// bending at the weight that keeps a lens's field from the camera's noise
// flattens them by over half a pixel between the patches (0.60 / 1.08 px).
TEST(DeformableModel, FollowsWavesThatTheUsualBendingWouldFlatten) {
    const pairfit::PreciseResult d =
        align(photograph_bent(print_with_blank_patches(98), wave(9, 130)), 600, pairfit::Model::deformable);
    EXPECT_LT(square_p95(d, wave(9, 130)), 0.5) << d.method;
    EXPECT_LT(square_error(d, wave(9, 130)), 1.0) << d.method;
}

// Waves under a print whose right half is a blurred photograph: the field is
// over a pixel off over it, where no window of the crops can see it (3 px
// under the usual bending); the estimate tells how far (from the windows
// alone it was 0.3 px).
TEST(DeformableModel, TellsHowFarAFieldGuessedOverFaintContentIsOff) {
    cv::Mat print = print_of(cv::Size(1000, 760), 96), faint;
    cv::GaussianBlur(smooth_photograph(11), faint, cv::Size(), 16);
    faint.colRange(500, 1000).copyTo(print.colRange(500, 1000));
    const pairfit::PreciseResult d = align(photograph_bent(print, wave(8, 85)), 600, pairfit::Model::deformable);
    const double p95 = square_p95(d, wave(8, 85));
    EXPECT_GT(p95, 1.0) << d.method;
    EXPECT_NEAR(d.misalignment_px, p95, std::max(0.3, p95 / 2)) << d.method;
    EXPECT_GT(d.misalignment_px, 0.6) << d.method;
}

// A smooth photograph through a lens, under light that falls off towards the
// corners and across the desk: band-passed, the slope of the light leaves a
// slope on the shading that pulls the field aside.
TEST(DeformableModel, FollowsASmoothPhotographUnderUnevenLight) {
    const cv::Mat print = smooth_photograph(10);
    Photographed p = photograph_bent(print, lens(0.1));
    cv::Mat lit(p.cam.size(), CV_32FC3);
    for (int y = 0; y < lit.rows; ++y) {
        for (int x = 0; x < lit.cols; ++x) {
            const double dx = x / 500.0 - 1, dy = y / 380.0 - 1;
            lit.at<cv::Vec3f>(y, x) = cv::Vec3f::all(static_cast<float>((1 - 0.12 * (dx * dx + dy * dy)) * (0.9 - 0.1 * dx)));
        }
    }
    p.cam.convertTo(p.cam, CV_32FC3);
    cv::Mat(p.cam.mul(lit)).convertTo(p.cam, CV_8UC3);
    const pairfit::PreciseResult d = align(p, 600, pairfit::Model::deformable);
    EXPECT_LT(square_error(d, lens(0.1)), 0.5) << d.method;
}

// A label whose ends are blank paper, round 30% of a bottle: past its last
// content the field is guessed, and it must go on curving as the bottle
// does rather than run straight on.
TEST(DeformableModel, CarriesABottlesCurveAcrossBlankEnds) {
    cv::Mat print = print_of(cv::Size(1000, 760), 93);
    const cv::Scalar paper = print.at<cv::Vec3b>(5, 5);
    print.colRange(0, 200).setTo(paper);
    print.colRange(800, 1000).setTo(paper);
    const pairfit::PreciseResult d = align(photograph_bent(print, cylinder(0.3)), 600, pairfit::Model::deformable);
    EXPECT_LT(square_error(d, cylinder(0.3)), 1.0) << d.method;
}

// A smooth photograph round a bottle: towards the bottle's sides the camera
// squeezes the shading, and band-passed there in the camera's own geometry
// it would no longer look like the reference's and pull the field aside.
TEST(DeformableModel, FollowsASmoothPhotographRoundABottlesSides) {
    const cv::Mat print = smooth_photograph(9);
    const pairfit::PreciseResult d = align(photograph_bent(print, cylinder(0.3)), 700, pairfit::Model::deformable);
    EXPECT_LT(square_error(d, cylinder(0.3)), 0.5) << d.method;
}

// A smooth photograph to the print's edges, the output square coming close
// to the bottom one: the field is fitted up to it, not carried over the
// square's border by its smoothness; the desk that the camera blurs into the
// print's edge does not pull it.
TEST(DeformableModel, FitsTheFieldUpToThePrintsEdgesTheSquareReaches) {
    const cv::Mat print = smooth_photograph(8);
    for (const auto& [name, truth] : {std::pair<std::string, ReferenceOf>("lens", lens(-0.1)),
                                      std::pair<std::string, ReferenceOf>("wave", wave(8))}) {
        const pairfit::PreciseResult d = align(photograph_bent(print, truth), 600, pairfit::Model::deformable);
        EXPECT_LT(square_p95(d, truth), 0.1) << name;
        EXPECT_LT(square_error(d, truth), 0.2) << name;
    }
}

// A sharp subject on a dark, smooth background that runs to the print's
// edges, through a lens, the square coming close to them: there the camera
// shows the desk a few pixels past the print's edge, and over the background's
// faint gradients a little of its tone would pull the field pixels aside.
TEST(DeformableModel, IsNotPulledByTheDeskPastADarkPrintsEdges) {
    cv::Mat print = smooth_photograph(8) * 0.3, disc(print.size(), CV_8U, cv::Scalar(0));
    cv::circle(disc, cv::Point(480, 400), 250, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
    print_of(print.size(), 71).copyTo(print, disc);
    for (const double k1 : {-0.1, 0.1}) {
        const pairfit::PreciseResult d = align(photograph_bent(print, lens(k1)), 700, pairfit::Model::deformable);
        EXPECT_LT(square_p95(d, lens(k1)), 0.5) << k1;
        EXPECT_LT(square_error(d, lens(k1)), 1.0) << k1;
    }
}

// A small print in the middle of a blank sheet, round a bottle and through a
// lens: over the paper around it the field is guessed, and goes on as the
// cubic that the print shows, not back towards the homography.
TEST(DeformableModel, CarriesTheFieldOverABlankSheetAroundASmallPrint) {
    const cv::Mat print = print_of(cv::Size(1000, 760), 93);
    cv::Mat sheet(print.size(), print.type(), cv::Scalar(print.at<cv::Vec3b>(5, 5)));
    const cv::Rect middle(300, 230, 400, 300);
    print(middle).copyTo(sheet(middle));
    for (const auto& [name, truth] : {std::pair<std::string, ReferenceOf>("cylinder", cylinder(0.3)),
                                      std::pair<std::string, ReferenceOf>("lens", lens(-0.1))}) {
        const pairfit::PreciseResult d = align(photograph_bent(sheet, truth), 600, pairfit::Model::deformable);
        EXPECT_LT(square_error(d, truth), 1.0) << name << " " << d.method;
    }
}

// A smooth photograph in a disc on white paper, through a lens: a field
// that bends with the camera's noise over the disc bends on into the blank
// corners (0.87 px off at the 95th percentile, 3.8 px at the worst corner);
// the lens's cubic, carried there, is not.
TEST(DeformableModel, CarriesALensCurveIntoBlankCorners) {
    const cv::Mat photo = smooth_photograph(12);
    cv::Mat sheet(photo.size(), photo.type(), cv::Scalar::all(235)), disc(photo.size(), CV_8U, cv::Scalar(0));
    cv::circle(disc, cv::Point(500, 380), 400, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
    photo.copyTo(sheet, disc);
    const pairfit::PreciseResult d = align(photograph_bent(sheet, lens(-0.1)), 700, pairfit::Model::deformable);
    EXPECT_LT(square_p95(d, lens(-0.1)), 0.5) << d.method;
}

