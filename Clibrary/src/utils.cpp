#include "utils.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <new>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "errors.h"

namespace {

const char* const new_ext = ".png";
const char* const alignment_img_suffix = "_aligned.jpg";
const char* const alignment_cam_suffix = "_aligned.png";

std::string file_name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_openable_directory(const std::string& dir) {
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) return false;
    closedir(handle);
    return true;
}

void ensure_directory(const std::string& output_dir) {
    // "" is what is left of a path directly under the root.
    const std::string dir = output_dir.empty() ? "/" : output_dir;
    if (is_openable_directory(dir)) return;
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        throw pairfit::FileError("cannot create output directory '" + dir +
                                 "': " + std::strerror(errno));
    }
}

// A temporary name beside the target that keeps its extension, so that the
// image library picks the same encoder, and is unique across the threads and
// processes that may write into one directory at once.
std::string temporary_name_for(const std::string& dir, const std::string& name) {
    static std::atomic<unsigned long> counter{0};
    const std::size_t dot = name.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
    return dir + "/." + name + "." + std::to_string(getpid()) + "-" +
           std::to_string(counter++) + ".tmp" + ext;
}

// An image written under a temporary name beside its target and put in
// place by commit(), so that a crash or a failed encode never leaves a
// truncated file under the final name and never destroys an earlier good
// file of that name. The temporary file goes with the object unless committed.
class StagedImage {
public:
    StagedImage(const std::string& dir, const std::string& name)
        : target_(dir + "/" + name), temporary_(temporary_name_for(dir, name)) {}
    ~StagedImage() {
        if (!committed_) std::remove(temporary_.c_str());
    }
    StagedImage(const StagedImage&) = delete;
    StagedImage& operator=(const StagedImage&) = delete;

    void write(const cv::Mat& image) {
        std::string reason = "the image library could not write it";
        try {
            if (cv::imwrite(temporary_, image, std::vector<int>())) return;
        } catch (const cv::Exception& e) {
            reason = e.what();
        }
        throw pairfit::FileError("cannot write '" + target_ + "': " + reason);
    }

    void commit() {
        if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
            throw pairfit::FileError("cannot write '" + target_ + "': " + std::strerror(errno));
        }
        committed_ = true;
    }

private:
    std::string target_;
    std::string temporary_;
    bool committed_ = false;
};

}  // namespace

std::string path_img2cam(std::string img_path) {
    const std::size_t m = img_path.rfind(".jpg");
    const std::string path_wo_ext = m == std::string::npos ? img_path : img_path.substr(0, m);
    return path_wo_ext + new_ext;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string stem_of(const std::string& path) {
    const std::string name = file_name_of(path);
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string output_folder_for(const std::string& output_dir, const std::string& img_path) {
    return output_dir.empty() ? directory_of(img_path) : output_dir;
}

std::pair<std::string, std::string> aligned_file_paths(std::string output_dir,
                                                       const std::string& img_path,
                                                       const std::string& cam_path) {
    output_dir = output_folder_for(output_dir, img_path);
    return {output_dir + "/" + stem_of(img_path) + alignment_img_suffix,
            output_dir + "/" + stem_of(cam_path) + alignment_cam_suffix};
}

void save_imgcam(cv::InputArray img, cv::InputArray cam, std::string output_dir,
                 std::string img_path, std::string cam_path) {
    output_dir = output_folder_for(output_dir, img_path);
    ensure_directory(output_dir);
    StagedImage img_file(output_dir, stem_of(img_path) + alignment_img_suffix);
    StagedImage cam_file(output_dir, stem_of(cam_path) + alignment_cam_suffix);
    // The two encodes run at once; the files appear only when both succeeded,
    // the reference first.
    const cv::Mat img_image = img.getMat();
    const cv::Mat cam_image = cam.getMat();
    std::future<void> cam_writing =
        std::async(std::launch::async, [&cam_file, &cam_image] { cam_file.write(cam_image); });
    try {
        img_file.write(img_image);
    } catch (...) {
        cam_writing.wait();
        throw;
    }
    cam_writing.get();
    img_file.commit();
    cam_file.commit();
}

cv::Mat Get_Mask_ROI(cv::InputArray img, cv::InputArray cam, cv::OutputArray dst_cam,
                     int mask_value, int Extd_value) {
    const cv::Mat img_m = img.getMat();
    const cv::Mat cam_m = cam.getMat();
    cv::Mat roi_img(img_m.size(), CV_8UC1, cv::Scalar(mask_value));
    cv::Mat roi_cam(cam_m.size(), CV_8UC1, cv::Scalar(mask_value));
    cv::Mat roi(img_m.size(), CV_8UC1, cv::Scalar(mask_value));

    if (img_m.channels() == 1 && cam_m.channels() == 1) {
        cv::Mat filled(cam_m.size(), CV_8UC1, cv::Scalar(Extd_value));
        cv::compare(img_m, roi_img, roi_img, cv::CMP_NE);
        cv::compare(cam_m, roi_cam, roi_cam, cv::CMP_NE);
        cv::bitwise_and(roi_img, roi_cam, roi);
        cam_m.copyTo(filled, roi);
        dst_cam.assign(filled);
    } else if (img_m.channels() == 3 && cam_m.channels() == 3) {
        cv::Mat filled(cam_m.size(), CV_8UC3, cv::Scalar::all(Extd_value));
        std::vector<cv::Mat> bgr;
        cv::split(img_m, bgr);
        // Only the third plane decides, and the camera image is not tested.
        cv::compare(bgr[2], roi, roi, cv::CMP_NE);
        cam_m.copyTo(filled, roi);
        dst_cam.assign(filled);
    }
    return roi;
}

std::unique_ptr<double[]> slice(const double* arr, const int n) {
    // Checked here rather than left to the compiler's array-new check, which
    // not every compiler and sanitizer runtime turns into this exception.
    if (n < 0) throw std::bad_array_new_length();
    std::unique_ptr<double[]> copy(new double[n]);
    for (int k = 0; k < n; ++k) copy[k] = arr[k];
    return copy;
}
