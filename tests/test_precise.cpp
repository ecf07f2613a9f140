// The precise entry's building blocks against known transforms.

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "ecc_similarity.h"
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

cv::Matx23d similarity(double theta, double s, double tx, double ty) {
    return cv::Matx23d(s * std::cos(theta), -s * std::sin(theta), tx, s * std::sin(theta), s * std::cos(theta), ty);
}

}  // namespace

TEST(EccSimilarity, RecoversAKnownSimilarityToAFractionOfAPixel) {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int trial = 0; trial < 6; ++trial) {
        const cv::Mat in = textured(400, 400, rng());
        // The template is `in` seen through the truth: t(x) = in(truth(x)).
        const cv::Matx23d truth = similarity(0.02 * u(rng), 1 + 0.03 * u(rng), 60 + 5 * u(rng), 50 + 5 * u(rng));
        cv::Mat t;
        cv::warpAffine(in, t, cv::Mat(truth), cv::Size(260, 260), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
        // Start a couple of pixels off.
        cv::Matx23d w = truth;
        w(0, 2) += 2.0 * u(rng);
        w(1, 2) += 2.0 * u(rng);
        w(0, 0) += 0.004;
        w(1, 1) += 0.004;
        const cv::Mat valid(in.size(), CV_8U, cv::Scalar(255));
        const double rho = ecc_similarity(t, in, valid, w, 50, 1e-3);
        EXPECT_GT(rho, 0.99) << trial;
        for (const cv::Point2d p : {cv::Point2d(0, 0), cv::Point2d(259, 0), cv::Point2d(0, 259), cv::Point2d(259, 259)}) {
            const double ex = w(0, 0) * p.x + w(0, 1) * p.y + w(0, 2) - (truth(0, 0) * p.x + truth(0, 1) * p.y + truth(0, 2));
            const double ey = w(1, 0) * p.x + w(1, 1) * p.y + w(1, 2) - (truth(1, 0) * p.x + truth(1, 1) * p.y + truth(1, 2));
            EXPECT_LT(std::hypot(ex, ey), 0.05) << trial;
        }
        EXPECT_NEAR(w(0, 0), w(1, 1), 1e-12);  // stays a similarity
        EXPECT_NEAR(w(0, 1), -w(1, 0), 1e-12);
    }
}
