#pragma once
// Images crossing the Python boundary: arguments that are paths or arrays in
// memory, and aligned crops handed back as numpy arrays.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include <opencv2/core.hpp>

namespace pairfit_python {

/// The channel order of arrays going in and crops coming out.
enum class Channels { bgr, rgb };

/// The pixels of an 8-bit array as the buffer protocol lays them out; the
/// channel stride is 1 and channels 1 for a grey (H, W) array.
struct PixelLayout {
    const unsigned char* data = nullptr;
    Py_ssize_t rows = 0, cols = 0, channels = 1;
    Py_ssize_t row_stride = 0, col_stride = 0, channel_stride = 1;
};

/// An `align` argument naming an image: a path, or an array whose buffer is
/// held (not copied) for as long as this object lives.
class ImageArgument {
public:
    ImageArgument() = default;
    ~ImageArgument();
    ImageArgument(const ImageArgument&) = delete;
    ImageArgument& operator=(const ImageArgument&) = delete;

    /// Takes `object` as the argument called `role`; an array with more
    /// pixels than `max_pixels` is refused here, before anything is done
    /// with it. False with a Python exception set when it cannot be taken.
    bool take(PyObject* object, const char* role, long long max_pixels);

    bool is_array() const { return held_; }
    /// The file, or for an array the name its output files take.
    const std::string& path() const { return path_; }
    /// The array as 8-bit BGR: the caller's own pixels when they are BGR and
    /// rows of packed pixels, a converted copy otherwise. Needs no lock.
    cv::Mat to_bgr(Channels order) const;

private:
    bool take_array(PyObject* object, const char* role, long long max_pixels);

    std::string path_;
    Py_buffer view_{};
    bool held_ = false;
    PixelLayout layout_;
};

/// A path argument (str, bytes or os.PathLike) as the bytes the file system
/// takes; false with a Python exception set otherwise.
bool path_of(PyObject* object, std::string& path);

/// A new numpy array (H, W, 3) of uint8 holding `bgr` in the given order;
/// None when `bgr` is empty.
PyObject* numpy_image(const cv::Mat& bgr, Channels order);

}  // namespace pairfit_python
