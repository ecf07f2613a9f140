// The precise entry's building blocks against known transforms.

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <opencv2/imgcodecs.hpp>

#include "ecc_similarity.h"
#include "pairfit/pipeline.h"
#include "pairfit/precise.h"
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

namespace {

// Largest distance, at the centre and corners of the camera square, between
// where a result puts a reference point and where the truth puts it.
double square_error(const pairfit::PreciseResult& r, const cv::Matx23d& truth) {
    const cv::Matx33d m(r.crop_map(0, 0), r.crop_map(0, 1), r.crop_map(0, 2), r.crop_map(1, 0),
                        r.crop_map(1, 1), r.crop_map(1, 2), 0, 0, 1);
    const cv::Matx33d inverse = m.inv();
    const cv::Rect2d q = r.camera_square;
    double worst = 0;
    for (const cv::Point2d p : {cv::Point2d(q.x + q.width / 2, q.y + q.height / 2), q.tl(), q.br(),
                                cv::Point2d(q.x, q.br().y), cv::Point2d(q.br().x, q.y)}) {
        const cv::Vec3d ref = inverse * cv::Vec3d(p.x, p.y, 1);
        const cv::Vec3d cam = cv::Matx33d(truth(0, 0), truth(0, 1), truth(0, 2), truth(1, 0), truth(1, 1),
                                          truth(1, 2), 0, 0, 1) * ref;
        worst = std::max(worst, std::hypot(cam[0] - p.x, cam[1] - p.y));
    }
    return worst;
}

struct Shot {
    std::string img, cam, dir;
    cv::Matx23d truth;
};

// A reference and its photograph by `truth` on a canvas of `camera` size.
Shot write_shot(const std::string& tag, cv::Size reference, cv::Size camera, const cv::Matx23d& truth) {
    Shot shot;
    shot.dir = testimg::temporary_directory(tag);
    shot.img = shot.dir + "/ref.png";
    shot.cam = shot.dir + "/cam.png";
    shot.truth = truth;
    const cv::Mat img = testimg::document_colour(reference.height, reference.width, 77);
    cv::Mat cam;
    cv::warpAffine(img, cam, cv::Mat(truth), camera, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar(60, 70, 80));
    cv::GaussianBlur(cam, cam, cv::Size(0, 0), 1.2);
    cv::imwrite(shot.img, img);
    cv::imwrite(shot.cam, cam);
    return shot;
}

pairfit::PreciseOptions exact_only() {
    pairfit::PreciseOptions options;
    options.refine = false;
    return options;
}

}  // namespace

TEST(PreciseEntry, WithoutRefinementItIsTheExactEntry) {
    const Shot shot = write_shot("exact", {900, 700}, {960, 720}, similarity(0, 1.02, 20, -12));
    const SimMat exact = alignment_ICpair(shot.img.c_str(), shot.cam.c_str(), (shot.dir + "/e").c_str(), 400, true);
    const pairfit::PreciseResult plain = pairfit::align_precise({shot.img, shot.cam, shot.dir + "/p", 400, true}, exact_only());
    EXPECT_EQ(plain.transform.score, exact.score);
    EXPECT_EQ(plain.transform.s, exact.s);
    EXPECT_EQ(plain.transform.t_x, exact.t_x);
    EXPECT_EQ(plain.transform.t_y, exact.t_y);
    EXPECT_EQ(plain.method, "exact");
    EXPECT_EQ(plain.img_file, shot.dir + "/p/ref_aligned.jpg");
    // The crops of the exact entry pair the warped reference's centre square
    // with the camera's: its crop map is its transform moved by the offset
    // between the two squares.
    EXPECT_DOUBLE_EQ(plain.crop_map(0, 2), exact.t_x + (960 - 400) / 2 - (900 - 400) / 2);
    EXPECT_DOUBLE_EQ(plain.crop_map(1, 2), exact.t_y + (720 - 400) / 2 - (700 - 400) / 2);
}

TEST(PreciseEntry, RecoversRotationAndScaleForLargerAndSmallerCameras) {
    struct Case {
        cv::Size camera;
        cv::Matx23d truth;
    };
    const Case cases[] = {
        {{1100, 900}, similarity(0.025, 1.03, 60, 40)},    // larger camera
        {{820, 640}, similarity(-0.02, 0.93, -10, 15)},    // smaller: fitted and bordered
        {{1000, 800}, similarity(0.0, 1.0, 0, 0)},         // the same frame
    };
    int k = 0;
    for (const Case& c : cases) {
        const Shot shot = write_shot("precise" + std::to_string(k++), {1000, 800}, c.camera, c.truth);
        const pairfit::PreciseResult r = pairfit::align_precise({shot.img, shot.cam, shot.dir, 400, true});
        EXPECT_EQ(r.outcome, pairfit::Outcome::aligned);
        EXPECT_LT(square_error(r, c.truth), 0.5) << r.method << " camera " << c.camera;
        // A smaller camera image was enlarged to fit the reference by k.
        const bool smaller = c.camera.width < 1000 || c.camera.height < 800;
        const double k = smaller ? std::min(1000.0 / c.camera.width, 800.0 / c.camera.height) : 1.0;
        EXPECT_NEAR(r.camera_square.width, 400 / k, 0.01);
    }
}
