#pragma once
// Output naming and saving, the masked region of interest, and array copies.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

/// The camera path that goes with a reference path: the text before the last
/// ".jpg" followed by ".png" (".png" appended when there is no ".jpg").
std::string path_img2cam(std::string img_path);

/// Writes the aligned reference as <stem>_aligned.jpg and the aligned camera
/// image as <stem>_aligned.png into `output_dir` (the reference's directory
/// when empty), creating that directory when it is missing. Each file is
/// written under a temporary name of fixed length and renamed into place;
/// both replace their old files or neither does, and writers of one folder
/// (threads or processes) take turns at the renames. The first save into a
/// folder in a process removes the temporary files of processes of this
/// host that are gone. Throws pairfit::FileError naming the path and the
/// system's reason when a directory or file cannot be made.
void save_imgcam(cv::InputArray img, cv::InputArray cam, std::string output_dir,
                 std::string img_path, std::string cam_path);

/// Writes `bytes` as the file `path` the way save_imgcam writes a crop:
/// under a temporary name beside it, then renamed into place. A symbolic
/// link at `path` is replaced, never followed, and a failed write leaves
/// any earlier file whole. Throws pairfit::FileError naming the path and
/// the system's reason.
void save_file(const std::string& path, const std::string& bytes);

/// save_imgcam for two crops already encoded, as the bytes of a JPEG and of
/// a PNG file: the same names, the same way into place, the same errors.
void save_encoded_imgcam(const std::vector<uchar>& img_file, const std::vector<uchar>& cam_file,
                         std::string output_dir, std::string img_path, std::string cam_path);

/// The two paths save_imgcam writes for this request.
std::pair<std::string, std::string> aligned_file_paths(std::string output_dir,
                                                       const std::string& img_path,
                                                       const std::string& cam_path);

/// The folder a request's crops go to: `output_dir`, or the reference's
/// own folder when it is empty.
std::string output_folder_for(const std::string& output_dir, const std::string& img_path);

/// Directory part of a path: the text before its last "/", "." when the path
/// has none.
std::string directory_of(const std::string& path);

/// File name of a path without its last extension: "a/b/scan.final.jpg" gives
/// "scan.final".
std::string stem_of(const std::string& path);

/// Mask of the pixels that carry data (not `mask_value`): in both images when
/// they have one channel, in plane 2 of `img` alone when they have three.
/// `dst_cam` is bound to a new copy of `cam` with `Extd_value` outside the
/// mask. Any other channel combination leaves `dst_cam` untouched and returns
/// a mask filled with `mask_value`.
cv::Mat Get_Mask_ROI(cv::InputArray img, cv::InputArray cam, cv::OutputArray dst_cam,
                     int mask_value, int Extd_value);

/// A new array holding the first `n` values of `arr`.
std::unique_ptr<double[]> slice(const double* arr, const int n);
