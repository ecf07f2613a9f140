#include "images.h"

#include <climits>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "interpreter.h"

namespace pairfit_python {
namespace {

// str, bytes and os.PathLike name files; bytes also export a buffer, but
// as a path they have always been taken.
bool names_a_file(PyObject* object) {
    return PyUnicode_Check(object) || PyBytes_Check(object) ||
           PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__");
}

// "B", with or without a byte-order prefix, is the buffer format of uint8.
bool holds_uint8(const Py_buffer& view) {
    if (view.itemsize != 1) return false;
    if (view.format == nullptr) return true;  // the protocol's default, "B"
    const char* format = view.format;
    if (*format != '\0' && std::strchr("@=<>!", *format) != nullptr) ++format;
    return std::strcmp(format, "B") == 0;
}

// numpy's name of the element type when the object has one ("float64"),
// else the buffer's format code.
std::string item_type_of(PyObject* object, const Py_buffer& view) {
    PyObject* dtype = PyObject_GetAttrString(object, "dtype");
    PyObject* text = dtype == nullptr ? nullptr : PyObject_Str(dtype);
    Py_XDECREF(dtype);
    const char* utf8 = text == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(text, nullptr);
    std::string name = utf8 != nullptr ? utf8
                                       : "items of buffer format '" +
                                             std::string(view.format ? view.format : "B") + "'";
    Py_XDECREF(text);
    PyErr_Clear();
    return name;
}

std::string shape_of(const Py_buffer& view) {
    std::string text = "(";
    for (int k = 0; k < view.ndim; ++k) {
        if (k > 0) text += ", ";
        text += std::to_string(view.shape[k]);
    }
    return text + (view.ndim == 1 ? ",)" : ")");
}

// (H, W), (H, W, 3) or (H, W, 4), with H and W from 1 to what an OpenCV
// matrix holds.
bool has_image_shape(const Py_buffer& view) {
    const bool planes =
        view.ndim == 2 || (view.ndim == 3 && (view.shape[2] == 3 || view.shape[2] == 4));
    return planes && view.shape[0] > 0 && view.shape[1] > 0 && view.shape[0] <= INT_MAX &&
           view.shape[1] <= INT_MAX;
}

PixelLayout layout_of(const Py_buffer& view) {
    PixelLayout layout;
    layout.data = static_cast<const unsigned char*>(view.buf);
    layout.rows = view.shape[0];
    layout.cols = view.shape[1];
    layout.row_stride = view.strides[0];
    layout.col_stride = view.strides[1];
    if (view.ndim == 3) {
        layout.channels = view.shape[2];
        layout.channel_stride = view.strides[2];
    }
    return layout;
}

// Rows of packed pixels, each row after the last, is what an OpenCV
// matrix can describe without a copy.
bool fits_a_matrix(const PixelLayout& l) {
    return l.channel_stride == 1 && l.col_stride == l.channels &&
           l.row_stride >= l.cols * l.channels;
}

cv::Mat packed_pixels(const PixelLayout& l) {
    const int type = CV_8UC(static_cast<int>(l.channels));
    if (fits_a_matrix(l)) {
        // The pipeline only reads its input images.
        return cv::Mat(static_cast<int>(l.rows), static_cast<int>(l.cols), type,
                       const_cast<unsigned char*>(l.data), static_cast<std::size_t>(l.row_stride));
    }
    cv::Mat packed(static_cast<int>(l.rows), static_cast<int>(l.cols), type);
    for (Py_ssize_t r = 0; r < l.rows; ++r) {
        unsigned char* out = packed.ptr<unsigned char>(static_cast<int>(r));
        const unsigned char* row = l.data + r * l.row_stride;
        for (Py_ssize_t c = 0; c < l.cols; ++c) {
            for (Py_ssize_t k = 0; k < l.channels; ++k) {
                *out++ = row[c * l.col_stride + k * l.channel_stride];
            }
        }
    }
    return packed;
}

// The conversion that makes BGR of `channels` channels in `order`; -1 for
// BGR itself.
int conversion_to_bgr(Py_ssize_t channels, Channels order) {
    const bool rgb = order == Channels::rgb;
    if (channels == 1) return cv::COLOR_GRAY2BGR;
    if (channels == 4) return rgb ? cv::COLOR_RGBA2BGR : cv::COLOR_BGRA2BGR;
    return rgb ? cv::COLOR_RGB2BGR : -1;
}

// A bytearray holding the pixels of an 8-bit BGR image in `order`: numpy
// takes it as the memory of a writable array without another copy.
PyObject* pixel_storage(const cv::Mat& bgr, Channels order) {
    const auto size = static_cast<Py_ssize_t>(bgr.total() * bgr.elemSize());
    PyObject* storage = PyByteArray_FromStringAndSize(nullptr, size);
    if (storage == nullptr) return nullptr;
    try {
        // Written in place: a matrix of the same size and type is not reallocated.
        cv::Mat target(bgr.size(), CV_8UC3, PyByteArray_AsString(storage));
        if (order == Channels::rgb) {
            cv::cvtColor(bgr, target, cv::COLOR_BGR2RGB);
        } else {
            bgr.copyTo(target);
        }
    } catch (const std::exception& e) {
        Py_DECREF(storage);
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    return storage;
}

}  // namespace

ImageArgument::~ImageArgument() {
    // A daemon thread ended by the interpreter's shutdown unwinds through
    // here without the lock: the buffer is then left to the dying process.
    if (held_ && !lock_given_up) PyBuffer_Release(&view_);
}

bool path_of(PyObject* object, std::string& path) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(object, &bytes)) return false;
    path.assign(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
    Py_DECREF(bytes);
    return true;
}

bool ImageArgument::take(PyObject* object, const char* role, long long max_pixels) {
    if (names_a_file(object)) return path_of(object, path_);
    if (PyObject_CheckBuffer(object)) {
        path_ = role;
        return take_array(object, role, max_pixels);
    }
    PyErr_Format(PyExc_TypeError,
                 "align() argument '%s' must be a path (str, bytes or os.PathLike) or an image "
                 "array (numpy.ndarray or another object with the buffer protocol), not %.100s",
                 role, type_name(object).c_str());
    return false;
}

bool ImageArgument::take_array(PyObject* object, const char* role, long long max_pixels) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) return false;
    held_ = true;
    if (!holds_uint8(view_)) {
        PyErr_Format(PyExc_TypeError,
                     "align() argument '%s': an image array must hold uint8 values, not %s",
                     role, item_type_of(object, view_).c_str());
        return false;
    }
    if (!has_image_shape(view_)) {
        PyErr_Format(PyExc_ValueError,
                     "align() argument '%s': an image array must have shape (H, W), (H, W, 3) or "
                     "(H, W, 4) with H and W above 0, not %s",
                     role, shape_of(view_).c_str());
        return false;
    }
    layout_ = layout_of(view_);
    if (static_cast<long long>(layout_.rows) * layout_.cols > max_pixels) {
        PyErr_Format(PyExc_ValueError,
                     "align() argument '%s': the image array of %zdx%zd has %lld pixels, more than "
                     "max_pixels=%lld; pass a larger max_pixels to align it",
                     role, layout_.cols, layout_.rows,
                     static_cast<long long>(layout_.rows) * layout_.cols, max_pixels);
        return false;
    }
    return true;
}

cv::Mat ImageArgument::to_bgr(Channels order) const {
    const cv::Mat pixels = packed_pixels(layout_);
    const int conversion = conversion_to_bgr(layout_.channels, order);
    if (conversion < 0) return pixels;
    cv::Mat bgr;
    cv::cvtColor(pixels, bgr, conversion);
    return bgr;
}

PyObject* numpy_image(const cv::Mat& bgr, Channels order) {
    if (bgr.empty()) Py_RETURN_NONE;
    PyObject* storage = pixel_storage(bgr, order);
    PyObject* numpy = storage == nullptr ? nullptr : PyImport_ImportModule("numpy");
    PyObject* flat = numpy == nullptr ? nullptr : PyObject_CallMethod(numpy, "frombuffer", "Os", storage, "uint8");
    Py_XDECREF(numpy);
    Py_XDECREF(storage);
    if (flat == nullptr) return nullptr;
    PyObject* image = PyObject_CallMethod(flat, "reshape", "(iii)", bgr.rows, bgr.cols, 3);
    Py_DECREF(flat);
    return image;
}

}  // namespace pairfit_python
