// Sizes read from file headers, the pixel limit checked before decoding, and
// the checkpoints between the stages of an alignment.

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "errors.h"
#include "pairfit/image_header.h"
#include "pairfit/pipeline.h"
#include "test_images.h"

namespace {

// A PNG file that is nothing but its header, declaring width x height.
std::string png_header_only(const std::string& path, std::uint32_t width, std::uint32_t height) {
    std::string bytes = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (const std::uint32_t value : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    std::ofstream(path, std::ios::binary) << bytes << std::string("\x08\x02\0\0\0\0\0\0\0", 9);
    return path;
}

// A usable pair: a document and, as its photograph, itself.
std::pair<std::string, std::string> good_pair(const std::string& dir) {
    const cv::Mat img = testimg::document_colour(300, 320, 2);
    cv::imwrite(dir + "/r.png", img);
    cv::imwrite(dir + "/c.png", img);
    return {dir + "/r.png", dir + "/c.png"};
}

std::string refusal(const pairfit::AlignRequest& request) {
    try {
        pairfit::align_exact(request);
    } catch (const pairfit::InvalidInput& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(ImageHeader, SizesOfEveryReadFormatMatchTheDecodedImage) {
    const testimg::TemporaryDirectory temporary("header");
    const std::string& dir = temporary.path();
    const cv::Mat image = testimg::random_colour(67, 93, 1);  // large enough for JPEG 2000
    cv::Mat floats, grey;
    image.convertTo(floats, CV_32F, 1 / 255.0);
    cv::extractChannel(image, grey, 0);
    const auto image_for = [&](const std::string& extension) {
        if (extension == "exr" || extension == "hdr") return floats;
        return extension == "pgm" || extension == "pbm" ? grey : image;
    };
    const std::vector<std::pair<std::string, std::vector<int>>> kinds = {
        {"png", {}}, {"jpg", {}}, {"jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1}}, {"bmp", {}},
        {"tiff", {}}, {"webp", {}}, {"webp", {cv::IMWRITE_WEBP_QUALITY, 101}}, {"ppm", {}},
        {"pgm", {}}, {"pbm", {}}, {"pam", {}}, {"pfm", {}}, {"hdr", {}}, {"jp2", {}},
        {"exr", {}}, {"ras", {}}};
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const std::string path = dir + "/i" + std::to_string(k) + "." + kinds[k].first;
        ASSERT_TRUE(cv::imwrite(path, image_for(kinds[k].first), kinds[k].second)) << path;
        const pairfit::ImageFileCheck check = pairfit::check_image_file(path);
        EXPECT_EQ(check.size, cv::Size(93, 67)) << path << ": " << check.problem;
        EXPECT_EQ(check.size, cv::imread(path).size()) << path;
    }
    std::ofstream(dir + "/text.jpg") << "not an image";
    EXPECT_EQ(pairfit::check_image_file(dir + "/text.jpg").problem.rfind("cannot be decoded", 0), 0u);
    ASSERT_EQ(mkfifo((dir + "/fifo.png").c_str(), 0600), 0);  // must not block
    EXPECT_EQ(pairfit::check_image_file(dir + "/fifo.png").problem, "not a regular file");
    EXPECT_EQ(pairfit::check_image_file(dir + "/absent.png").problem, "not found");
}

// What a hostile file claims is what OpenCV would allocate: the frame header
// after thousands of fill bytes and other segments, the size after a long
// comment, JPEG 2000 with more components than OpenCV takes.
TEST(ImageHeader, SizesBehindPaddingAndCommentsAreRead) {
    const testimg::TemporaryDirectory temporary("hostile");
    const std::string& dir = temporary.path();
    std::vector<unsigned char> jpeg;
    cv::imencode(".jpg", testimg::random_colour(23, 37, 1), jpeg);
    std::string padded(jpeg.begin(), jpeg.begin() + 2);
    padded += std::string(5000, '\xff') + std::string(3000, '\0');  // fill bytes, then stray ones
    for (int k = 0; k < 3000; ++k) padded += std::string("\xff\xfe\0\x02", 4);  // empty comments
    padded += std::string(jpeg.begin() + 2, jpeg.end());
    std::ofstream(dir + "/padded.jpg", std::ios::binary) << padded;
    EXPECT_EQ(pairfit::check_image_file(dir + "/padded.jpg").size, cv::Size(37, 23));
    EXPECT_EQ(cv::imread(dir + "/padded.jpg").size(), cv::Size(37, 23));

    std::ofstream(dir + "/comment.ppm", std::ios::binary)
        << "P6\n#" << std::string(100000, 'c') << "\r 30000 #\n 20000\n255\n";
    EXPECT_EQ(pairfit::check_image_file(dir + "/comment.ppm").size, cv::Size(30000, 20000));
    std::ofstream(dir + "/endless.pgm", std::ios::binary) << "P5\n#" << std::string(2 << 20, 'c');
    EXPECT_FALSE(pairfit::check_image_file(dir + "/endless.pgm").size);

    std::ofstream(dir + "/five.j2k", std::ios::binary)
        << std::string("\xff\x4f\xff\x51\0\x2f\0\0\0\0\0\x40\0\0\0\x40", 16) << std::string(24, '\0')
        << std::string("\0\x05", 2);
    EXPECT_FALSE(pairfit::check_image_file(dir + "/five.j2k").size);
}

TEST(PixelLimit, EitherImageAboveTheLimitIsRefusedByNameBeforeDecoding) {
    const testimg::TemporaryDirectory temporary("limit");
    const std::string& dir = temporary.path();
    const auto [img, cam] = good_pair(dir);
    const std::string huge = png_header_only(dir + "/huge.png", 30000, 30000);

    const std::string as_reference = refusal({huge, dir + "/absent.png", dir + "/out"});
    EXPECT_NE(as_reference.find("reference image '" + huge + "' is 30000x30000 px (900000000 pixels), "
                                "more than the limit of 100000000 pixels"),
              std::string::npos) << as_reference;
    const std::string as_camera = refusal({img, huge, dir + "/out"});
    EXPECT_NE(as_camera.find("camera image '" + huge + "'"), std::string::npos) << as_camera;

    pairfit::AlignRequest raised{img, cam, dir + "/out", 100};
    raised.max_pixels = 2'000'000'000;
    EXPECT_NO_THROW(pairfit::align_exact(raised));
    raised.camera = png_header_only(dir + "/larger.png", 40000, 30000);  // above the library's own limit
    EXPECT_NE(refusal(raised).find("more than the image library's limit of 1073741824 pixels"), std::string::npos);
}

TEST(PixelLimit, OutSizeIsCheckedAgainstTheHeaderUnlessTheCameraDecidesFirst) {
    const testimg::TemporaryDirectory temporary("outsize");
    const std::string& dir = temporary.path();
    const auto [img, cam] = good_pair(dir);
    // A header without pixels: only a check made before decoding sees its size.
    const std::string header_only = png_header_only(dir + "/big.png", 5000, 4000);
    const std::string refused = refusal({header_only, cam, dir + "/out", 4500});
    EXPECT_NE(refused.find("out_size 4500 does not fit the reference image of 5000x4000 px"),
              std::string::npos) << refused;
    cv::imwrite(dir + "/white.png", cv::Mat(300, 300, CV_8UC3, cv::Scalar::all(255)));
    const SimMat special = pairfit::align_exact({header_only, dir + "/white.png", dir + "/out", 4500});
    EXPECT_EQ(pairfit::outcome_of(special), pairfit::Outcome::special);
}

TEST(Checkpoints, EachStageStopsTheAlignmentBeforeAnythingIsWritten) {
    const testimg::TemporaryDirectory temporary("checkpoint");
    const std::string& dir = temporary.path();
    const auto [img, cam] = good_pair(dir);
    pairfit::AlignRequest request{img, cam, dir + "/out", 100};
    int calls = 0, stop_at = 0;
    request.checkpoint = [&] {
        if (++calls == stop_at) throw std::runtime_error("stop");
    };
    EXPECT_EQ(pairfit::outcome_of(pairfit::align_exact(request)), pairfit::Outcome::aligned);
    // Decoded, reference cleaned up, between the passes, before writing.
    ASSERT_EQ(calls, 4);
    request.output_dir = dir + "/stopped";
    struct stat st;
    for (stop_at = 1; stop_at <= 4; ++stop_at) {
        calls = 0;
        EXPECT_THROW(pairfit::align_exact(request), std::runtime_error);
        EXPECT_EQ(calls, stop_at);
        EXPECT_NE(stat(request.output_dir.c_str(), &st), 0) << "stopped at " << stop_at;
    }
}

// The coarse pass's transform is carried into the fine pass's frame by a
// ratio that depends on whether the reference is above the fine size: the
// sizes around that boundary must all find a known shift.
TEST(PassFrames, AKnownShiftIsFoundForReferenceSizesAroundTheFineSize) {
    for (const int side : {240, 299, 300, 301, 360}) {
        const cv::Mat img = testimg::document_colour(side, side - 17, 5);  // the longer side decides
        const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, 20, 0, 1, -12);
        pairfit::AlignRequest request{"r.png", "c.png", "", 100};
        request.reference.pixels = img;
        request.camera.pixels = testimg::warp_nearest(img, shift, img.size(), cv::Scalar(235, 240, 245));
        request.write_files = false;
        const SimMat found = pairfit::align_exact(request);
        // The search may trade a scale change for a shift: the centre must land right.
        const cv::Point2d centre(img.cols / 2.0, img.rows / 2.0);
        EXPECT_NEAR(found.s * centre.x + found.t_x, centre.x + 20, 2) << "reference of " << side << " px, s " << found.s;
        EXPECT_NEAR(found.s * centre.y + found.t_y, centre.y - 12, 2) << "reference of " << side << " px, s " << found.s;
    }
}
