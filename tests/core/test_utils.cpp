#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "errors.h"
#include "test_images.h"
#include "utils.h"

namespace {

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(PathNames, CameraPathReplacesTheLastJpgByPng) {
    EXPECT_EQ(path_img2cam("dir/p1.jpg"), "dir/p1.png");
    EXPECT_EQ(path_img2cam("x/a.jpg.jpg"), "x/a.jpg.png");
    EXPECT_EQ(path_img2cam("x/a.JPG"), "x/a.JPG.png");
    EXPECT_EQ(path_img2cam("x.jpg/a"), "x.png");  // anywhere, not only at the end
    EXPECT_EQ(path_img2cam("noext"), "noext.png");
}

TEST(PathNames, StemEndsAtTheLastDotOfTheFileName) {
    EXPECT_EQ(stem_of("a/b/scan.final.jpg"), "scan.final");
    EXPECT_EQ(stem_of("a/IMG"), "IMG");
    EXPECT_EQ(stem_of("a.b/IMG"), "IMG");
    EXPECT_EQ(stem_of("p1.jpg"), "p1");
}

TEST(PathNames, DirectoryIsTheTextBeforeTheLastSlash) {
    EXPECT_EQ(directory_of("in/p1.jpg"), "in");
    EXPECT_EQ(directory_of("/p1.jpg"), "");
    EXPECT_EQ(directory_of("p1.jpg"), ".");  // a bare name is in the current directory
}

TEST(Slice, CopiesTheFirstNValuesIndependently) {
    double source[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const auto copy = slice(source, 11);
    source[0] = 99;
    for (int k = 0; k < 11; ++k) EXPECT_EQ(copy[k], k + 1.0);
    EXPECT_NE(slice(source, 0), nullptr);
    EXPECT_THROW(slice(source, -1), std::bad_array_new_length);
}

TEST(SaveImgCam, WritesBothFilesUnderTheirStemsIntoTheReferenceDirectory) {
    const std::string dir = testimg::temporary_directory("save");
    const cv::Mat img = testimg::random_colour(20, 30, 1);
    const cv::Mat cam = testimg::random_colour(20, 30, 2);
    save_imgcam(img, cam, "", dir + "/scan.final.jpg", "/elsewhere/shot.p1.png");
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"scan.final_aligned.jpg", "shot.p1_aligned.png"}));
    EXPECT_TRUE(testimg::identical(cv::imread(dir + "/shot.p1_aligned.png", cv::IMREAD_COLOR), cam));
    const cv::Mat jpeg = cv::imread(dir + "/scan.final_aligned.jpg", cv::IMREAD_COLOR);
    EXPECT_EQ(jpeg.size(), img.size());
}

TEST(SaveImgCam, CreatesAMissingOutputDirectoryOneLevelDeep) {
    const std::string base = testimg::temporary_directory("mkdir");
    const cv::Mat img = testimg::random_colour(8, 8, 3);
    save_imgcam(img, img, base + "/out", "in/p1.jpg", "in/p1.png");
    EXPECT_TRUE(exists(base + "/out/p1_aligned.jpg"));
    EXPECT_TRUE(exists(base + "/out/p1_aligned.png"));
    try {
        save_imgcam(img, img, base + "/a/b", "in/p1.jpg", "in/p1.png");
        FAIL() << "a missing parent must be reported";
    } catch (const pairfit::FileError& e) {
        EXPECT_NE(std::string(e.what()).find(base + "/a/b"), std::string::npos) << e.what();
    }
}

TEST(SaveImgCam, AFailedWriteNamesThePathAndKeepsTheEarlierFile) {
    const std::string dir = testimg::temporary_directory("keep");
    const cv::Mat img = testimg::random_colour(8, 8, 4);
    save_imgcam(img, img, dir, "p1.jpg", "p1.png");
    std::ifstream before(dir + "/p1_aligned.png", std::ios::binary);
    const std::string good((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());

    const cv::Mat unwritable = cv::Mat::zeros(8, 8, CV_8UC(5));  // no encoder takes 5 channels
    try {
        save_imgcam(img, unwritable, dir, "p1.jpg", "p1.png");
        FAIL() << "an image that cannot be encoded must be reported";
    } catch (const pairfit::FileError& e) {
        EXPECT_NE(std::string(e.what()).find(dir + "/p1_aligned.png"), std::string::npos) << e.what();
    }
    std::ifstream after(dir + "/p1_aligned.png", std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, good);
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"p1_aligned.jpg", "p1_aligned.png"}));
}
