#include "utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "errors.h"
#include "pairfit/worker_pool.h"
#include "pairfit/core.h"

using pairfit::ends_with;

namespace {

const char* const new_ext = ".png";
const char* const alignment_img_suffix = "_aligned.jpg";
const char* const alignment_cam_suffix = "_aligned.png";

std::string file_name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string extension_of(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? "" : name.substr(dot);
}

std::string cannot_write(const std::string& path, const std::string& reason) {
    return "cannot write '" + path + "': " + reason;
}

void ensure_directory(const std::string& output_dir) {
    // "" is what is left of a path directly under the root.
    const std::string dir = output_dir.empty() ? "/" : output_dir;
    if (DIR* handle = opendir(dir.c_str())) {
        closedir(handle);
        return;
    }
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        throw pairfit::FileError("cannot create output directory '" + dir +
                                 "': " + std::strerror(errno));
    }
}

// --- Temporary files -------------------------------------------------------
//
// Temporary names have a fixed length whatever the target's name, so that
// any name the file system takes as a target can be staged. They carry the
// host and the process that made them: a later process can tell the files
// of a process that was killed from those of one still writing, also in a
// folder that several machines share.

const std::string kTemporaryPrefix = ".pairfit-";
const std::string kTemporaryMark = ".tmp";

std::uint32_t host_tag() {
    static const std::uint32_t tag = [] {
        char name[256] = {};
        gethostname(name, sizeof name - 1);
        std::uint32_t hash = 2166136261u;  // FNV-1a
        for (const char* c = name; *c != '\0'; ++c) {
            hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
        }
        return hash;
    }();
    return tag;
}

std::string hex8(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// Keeps the target's extension so that a person can tell what it holds.
std::string temporary_name_for(const std::string& dir, const std::string& ext) {
    static std::atomic<unsigned long> counter{0};
    return dir + "/" + kTemporaryPrefix + hex8(host_tag()) + "-" + std::to_string(getpid()) + "-" +
           std::to_string(counter++) + kTemporaryMark + ext;
}

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return c >= '0' && c <= '9'; });
}

bool starts_with(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// The pid in "<pid>-<counter>", or 0.
long pid_of_counted(const std::string& text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) return 0;
    const std::string pid = text.substr(0, dash);
    if (!all_digits(pid) || pid.size() > 9 || !all_digits(text.substr(dash + 1))) return 0;
    return std::stol(pid);
}

// The process that made a temporary file of this host, or 0 when `name` is
// not one: ".pairfit-<host>-<pid>-<n>.tmp.<ext>".
long writer_of_temporary(const std::string& name) {
    const std::string host = kTemporaryPrefix + hex8(host_tag()) + "-";
    const std::string base = name.substr(0, name.size() - extension_of(name).size());
    if (!starts_with(name, host) || !ends_with(base, kTemporaryMark)) return 0;
    return pid_of_counted(base.substr(host.size(), base.size() - host.size() - kTemporaryMark.size()));
}

// Earlier versions named them ".<target>.<pid>-<n>.tmp.<ext>".
long writer_of_earlier_temporary(const std::string& name) {
    const std::string base = name.substr(0, name.size() - extension_of(name).size());
    if (name.empty() || name[0] != '.' || !ends_with(base, kTemporaryMark)) return 0;
    const std::string counted = base.substr(0, base.size() - kTemporaryMark.size());
    const std::size_t dot = counted.rfind('.');
    if (dot == std::string::npos) return 0;
    const std::string target = counted.substr(1, dot - 1);
    if (!ends_with(target, alignment_img_suffix) && !ends_with(target, alignment_cam_suffix)) return 0;
    return pid_of_counted(counted.substr(dot + 1));
}

bool is_stale_temporary(const std::string& name) {
    long pid = writer_of_temporary(name);
    if (pid == 0) pid = writer_of_earlier_temporary(name);
    return pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;  // the writer is gone
}

void remove_stale_temporaries(const std::string& dir) {
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) return;
    while (const dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name[0] == '.' && is_stale_temporary(name)) unlink((dir + "/" + name).c_str());
    }
    closedir(handle);
}

// A folder is swept once per process: the files of a killed process are
// few, and a batch saves thousands of pairs into one folder.
void remove_stale_temporaries_once(const std::string& dir) {
    static std::mutex mutex;
    // Never destroyed: a thread of the caller may still be saving while the
    // process exits (Python's daemon threads).
    static std::set<std::string>& swept = *new std::set<std::string>;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!swept.insert(dir).second) return;
    }
    remove_stale_temporaries(dir);
}

void write_file(const std::string& path, const uchar* bytes, std::size_t size, const std::string& target) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) throw pairfit::FileError(cannot_write(target, std::strerror(errno)));
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            throw pairfit::FileError(cannot_write(target, std::strerror(error)));
        }
        done += static_cast<std::size_t>(n);
    }
    // Some file systems report a full disk only when the file is closed.
    if (close(fd) != 0) throw pairfit::FileError(cannot_write(target, std::strerror(errno)));
}

// --- Putting files in place ------------------------------------------------

// One file moved into place, which can still be taken back while the other
// file of the pair is moved.
class Replacement {
public:
    Replacement(const std::string& staged, const std::string& target) : staged_(staged), target_(target) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0) {
            move_into_place(Kind::created);
        } else if (S_ISDIR(st.st_mode)) {
            throw pairfit::FileError(cannot_write(target, std::strerror(EISDIR)));
        } else if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
            kind_ = Kind::exchanged;  // the staged name now holds the old file
        } else {
            backup_ = temporary_name_for(directory_of(target), extension_of(target));
            move_into_place(link(target.c_str(), backup_.c_str()) == 0 ? Kind::backed_up : Kind::plain);
        }
    }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    /// Puts the old file back, or removes the new one when there was none.
    void undo() {
        switch (kind_) {
            case Kind::created: unlink(target_.c_str()); break;
            case Kind::exchanged:
                renameat2(AT_FDCWD, staged_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE);
                break;
            case Kind::backed_up: std::rename(backup_.c_str(), target_.c_str()); break;
            case Kind::plain: break;  // no hard links here: the old file is gone
        }
    }

    /// Lets the old file go.
    void finish() {
        if (kind_ == Kind::exchanged) unlink(staged_.c_str());
        if (kind_ == Kind::backed_up) unlink(backup_.c_str());
    }

    /// True while the staged name still holds a file of ours.
    bool staged_name_in_use() const { return kind_ == Kind::exchanged; }

private:
    enum class Kind { created, exchanged, backed_up, plain };

    void move_into_place(Kind kind) {
        if (std::rename(staged_.c_str(), target_.c_str()) != 0) {
            const int error = errno;
            if (kind == Kind::backed_up) unlink(backup_.c_str());
            throw pairfit::FileError(cannot_write(target_, std::strerror(error)));
        }
        kind_ = kind;
    }

    std::string staged_;
    std::string target_;
    std::string backup_;
    Kind kind_ = Kind::plain;
};

// Writers that put pairs into one folder take turns, within a process and
// between processes, so that the two files in place always come from the
// same pair. Where the folder cannot be locked, the files are put in place
// all the same.
class FolderLock {
public:
    explicit FolderLock(const std::string& dir)
        : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~FolderLock() {
        if (fd_ >= 0) close(fd_);  // closing releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_;
};

// An image encoded into a temporary file beside its target and put in place
// with its partner by place_both(), so that a crash or a failed write never
// leaves a truncated file under the final name and never destroys an
// earlier good file of that name. The temporary file goes with the object
// unless it was put in place.
class StagedImage {
public:
    StagedImage(const std::string& dir, const std::string& name)
        : target_(dir + "/" + name), ext_(extension_of(name)),
          temporary_(temporary_name_for(dir, ext_)) {}
    ~StagedImage() {
        if (!placed_) unlink(temporary_.c_str());
    }
    StagedImage(const StagedImage&) = delete;
    StagedImage& operator=(const StagedImage&) = delete;

    // Encoded in memory, so that the system's reason for a failed write
    // (permission, a full disk, a name too long) reaches the message.
    void write(const cv::Mat& image) {
        std::vector<uchar> bytes;
        std::string reason = "the image library cannot encode this image as " + ext_;
        try {
            if (cv::imencode(ext_, image, bytes)) {
                write_file(temporary_, bytes.data(), bytes.size(), target_);
                return;
            }
        } catch (const cv::Exception& e) {
            reason = e.what();
        }
        throw pairfit::FileError(cannot_write(target_, reason));
    }

    // An image encoded elsewhere (a crop shipped back from another machine).
    void write(const std::vector<uchar>& encoded) { write_file(temporary_, encoded.data(), encoded.size(), target_); }

    const std::string& temporary() const { return temporary_; }
    const std::string& target() const { return target_; }
    void mark_placed() { placed_ = true; }

private:
    std::string target_;
    std::string ext_;
    std::string temporary_;
    bool placed_ = false;
};

// Both files replace their targets, or neither does.
void place_both(StagedImage& first, StagedImage& second, const std::string& dir) {
    const FolderLock lock(dir);
    Replacement first_in_place(first.temporary(), first.target());
    first.mark_placed();
    try {
        Replacement second_in_place(second.temporary(), second.target());
        second.mark_placed();
        second_in_place.finish();
    } catch (...) {
        first_in_place.undo();
        // Taken back, the new file is under the temporary name again.
        if (first_in_place.staged_name_in_use()) unlink(first.temporary().c_str());
        throw;
    }
    first_in_place.finish();
}

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

void save_file(const std::string& path, const std::string& bytes) {
    const std::string dir = directory_of(path);
    remove_stale_temporaries_once(dir);
    const std::string staged = temporary_name_for(dir, extension_of(file_name_of(path)));
    try {
        write_file(staged, reinterpret_cast<const uchar*>(bytes.data()), bytes.size(), path);
        Replacement in_place(staged, path);
        in_place.finish();
    } catch (...) {
        unlink(staged.c_str());
        throw;
    }
}

void save_imgcam(cv::InputArray img, cv::InputArray cam, std::string output_dir,
                 std::string img_path, std::string cam_path) {
    output_dir = output_folder_for(output_dir, img_path);
    ensure_directory(output_dir);
    remove_stale_temporaries_once(output_dir);
    StagedImage img_file(output_dir, stem_of(img_path) + alignment_img_suffix);
    StagedImage cam_file(output_dir, stem_of(cam_path) + alignment_cam_suffix);
    // The two encodes run at once; the files appear only when both succeeded.
    const cv::Mat img_image = img.getMat();
    const cv::Mat cam_image = cam.getMat();
    pairfit::Job<void> cam_writing = pairfit::start_job([&cam_file, &cam_image] { cam_file.write(cam_image); });
    img_file.write(img_image);  // on an error, the job is waited for as it is dropped
    cam_writing.get();
    place_both(img_file, cam_file, output_dir);
}

void save_encoded_imgcam(const std::vector<uchar>& img_file, const std::vector<uchar>& cam_file,
                         std::string output_dir, std::string img_path, std::string cam_path) {
    output_dir = output_folder_for(output_dir, img_path);
    ensure_directory(output_dir);
    remove_stale_temporaries_once(output_dir);
    StagedImage img_staged(output_dir, stem_of(img_path) + alignment_img_suffix);
    StagedImage cam_staged(output_dir, stem_of(cam_path) + alignment_cam_suffix);
    img_staged.write(img_file);
    cam_staged.write(cam_file);
    place_both(img_staged, cam_staged, output_dir);
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

namespace pairfit {

std::string size_text(cv::Size size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace pairfit
