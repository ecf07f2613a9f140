#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "errors.h"
#include "pairfit/core.h"
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

std::string message_of_failed_save(const cv::Mat& img, const std::string& dir, const std::string& stem) {
    try {
        save_imgcam(img, img, dir, stem + ".jpg", stem + ".png");
    } catch (const pairfit::FileError& e) {
        return e.what();
    }
    return "";
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

TEST(PathNames, ATextEndsWithItselfAndWithNothing) {
    EXPECT_TRUE(pairfit::ends_with("p1_aligned.jpg", "_aligned.jpg"));
    EXPECT_TRUE(pairfit::ends_with("_aligned.jpg", "_aligned.jpg"));
    EXPECT_TRUE(pairfit::ends_with("p1", ""));
    EXPECT_FALSE(pairfit::ends_with("aligned.jpg", "_aligned.jpg"));
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
    const testimg::TemporaryDirectory temporary("save");
    const std::string& dir = temporary.path();
    const cv::Mat img = testimg::random_colour(20, 30, 1);
    const cv::Mat cam = testimg::random_colour(20, 30, 2);
    save_imgcam(img, cam, "", dir + "/scan.final.jpg", "/elsewhere/shot.p1.png");
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"scan.final_aligned.jpg", "shot.p1_aligned.png"}));
    EXPECT_TRUE(testimg::identical(cv::imread(dir + "/shot.p1_aligned.png", cv::IMREAD_COLOR), cam));
    const cv::Mat jpeg = cv::imread(dir + "/scan.final_aligned.jpg", cv::IMREAD_COLOR);
    EXPECT_EQ(jpeg.size(), img.size());
}

TEST(SaveImgCam, CreatesAMissingOutputDirectoryOneLevelDeep) {
    const testimg::TemporaryDirectory temporary("mkdir");
    const std::string& base = temporary.path();
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
    const testimg::TemporaryDirectory temporary("keep");
    const std::string& dir = temporary.path();
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

TEST(SaveImgCam, AnyStemTheFileSystemTakesIsWrittenAndTheSystemSaysWhyNot) {
    const testimg::TemporaryDirectory temporary("names");
    const std::string& dir = temporary.path();
    const cv::Mat img = testimg::random_colour(8, 8, 5);
    const std::string longest = std::string(255 - 12, 's');  // with "_aligned.jpg": 255 bytes
    save_imgcam(img, img, dir, longest + ".jpg", longest + ".png");
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{longest + "_aligned.jpg", longest + "_aligned.png"}));

    EXPECT_NE(message_of_failed_save(img, dir, longest + "x").find("File name too long"), std::string::npos);
    std::ofstream(dir + "/plain").put('x');
    const std::string in_a_file = message_of_failed_save(img, dir + "/plain", "p1");
    EXPECT_NE(in_a_file.find("cannot write '" + dir + "/plain/p1_aligned.jpg': Not a directory"),
              std::string::npos) << in_a_file;
}

// With an old reference crop, the old one stays (see test_hardening.py);
// without one, none is left.
TEST(SaveImgCam, WhenTheSecondFileCannotBePutInPlaceNoNewFirstFileStays) {
    const testimg::TemporaryDirectory temporary("both");
    const std::string& dir = temporary.path();
    const cv::Mat img = testimg::random_colour(8, 8, 6);
    ASSERT_EQ(mkdir((dir + "/p1_aligned.png").c_str(), 0777), 0);  // the camera crop's place is taken
    EXPECT_THROW(save_imgcam(img, img, dir, "p1.jpg", "p1.png"), pairfit::FileError);
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"p1_aligned.png"}));
}

// Writers of one folder take turns at putting their two files in place, so
// that the pair in place is always one writer's; another process holding
// the folder's lock makes a save wait.
TEST(SaveImgCam, WritersOfOneFolderTakeTurnsAtPuttingFilesInPlace) {
    const testimg::TemporaryDirectory temporary("turns");
    const std::string& dir = temporary.path();
    const cv::Mat img = testimg::random_colour(8, 8, 8);
    const int held = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::thread saving([&] { save_imgcam(img, img, dir, "p.jpg", "p.png"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(exists(dir + "/p_aligned.jpg"));
    close(held);
    saving.join();
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"p_aligned.jpg", "p_aligned.png"}));
}
