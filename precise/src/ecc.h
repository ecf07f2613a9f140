#pragma once
// Enhanced correlation coefficient alignment (Evangelidis and Psarakis) over
// shifts, similarities or homographies.

#include <opencv2/core.hpp>

namespace pairfit {

/// The motions the correlation is maximised over. A similarity is
/// x' = a x - b y + t_x, y' = b x + a y + t_y; a homography has all eight
/// parameters of a 3x3 matrix with a last entry of 1.
enum class Motion { shift, similarity, homography };

/// `image` seen through w: pixel x of the result, of `size`, is image(w(x)),
/// zero outside `image`. The two halves of the rows are made side by side,
/// each as the whole warp makes it.
cv::Mat warped(const cv::Mat& image, const cv::Matx33d& w, cv::Size size, int interpolation);

/// Maximises the correlation of `in` warped onto `t` over `motion`, where `w`
/// maps `t`'s pixels to `in`'s. `t` and `in` are CV_32F; `t_mask` (CV_8U, or
/// empty for all) marks the pixels of `t` that count, `in_valid` (CV_8U)
/// those of `in`. Stops after `iterations` steps or
/// when a step moves no pixel of `t` by more than `epsilon`. Returns the
/// final correlation, or -1 when the images do not correlate (w is then
/// unchanged). Parameters that `motion` does not have keep their values.
double ecc_align(const cv::Mat& t, const cv::Mat& t_mask, const cv::Mat& in, const cv::Mat& in_valid,
                 cv::Matx33d& w, Motion motion, int iterations, double epsilon);

}  // namespace pairfit
