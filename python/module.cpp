// The Python face of the pipeline: the extension module "pairfit._pairfit",
// which the package pairfit re-exports.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <cmath>
#include <exception>
#include <functional>
#include <new>
#include <string>
#include <utility>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "errors.h"
#include "field.h"
#include "images.h"
#include "interpreter.h"
#include "pairfit/pipeline.h"
#include "pairfit/precise.h"

namespace {

using pairfit_python::Channels;
using pairfit_python::ImageArgument;

const char kAligningDoc[] =
    "ICpair_Aligning($module, img_path, cam_path, output_dir='', out_size=600, is_masked=True, /)\n"
    "--\n\n"
    "Align a reference image with a camera photograph of it.\n\n"
    "Finds the similarity transform that lays the reference over the camera\n"
    "image, writes <stem>_aligned.jpg (reference) and <stem>_aligned.png\n"
    "(camera) as out_size x out_size crops into output_dir (the reference's\n"
    "directory when empty; created when missing) and returns a dict with the\n"
    "floats 'score', 'theta', 's', 't_x', 't_y'.\n\n"
    "Arguments are positional only. Outcomes: s == 0.0 when either image is\n"
    "missing or unreadable (nothing written); score == 0.0 when the camera\n"
    "image cannot be binarised; otherwise the pair is aligned.\n\n"
    "The interpreter lock is released while the pair is aligned, so calls\n"
    "from several threads run at once.\n\n"
    "Raises ValueError for inputs the algorithm cannot take (reference below\n"
    "200 px, out_size that does not fit), OSError when an output cannot be\n"
    "written, RuntimeError for other failures (OpenCV's among them).";

// Adds `value` (a new reference, stolen) under `key`; false on failure, with
// the dict left for the caller to release.
bool set_new_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status == 0;
}

// A new dict holding the five numbers under their keys, in their order.
PyObject* numbers_of(const SimMat& m) {
    const double values[] = {m.score, m.theta, m.s, m.t_x, m.t_y};
    PyObject* dict = PyDict_New();
    for (std::size_t k = 0; dict != nullptr && k < pairfit::kNumberKeys.size(); ++k) {
        if (!set_new_item(dict, pairfit::kNumberKeys[k], PyFloat_FromDouble(values[k]))) Py_CLEAR(dict);
    }
    return dict;
}

// The one place where C++ errors become Python exceptions.
PyObject* raise_python_error() {
    try {
        throw;
    } catch (const pairfit::InvalidInput& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const pairfit::FileError& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "pairfit: unknown error");
    }
    return nullptr;
}

// A PyArg_ParseTuple converter ("O&") of a str argument into the bytes the
// file system takes, encoded as os.fsencode does: a name that is not UTF-8
// (surrogate escapes) comes back as it was. Only str is taken, as ever.
int file_system_text(PyObject* object, void* out) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "ICpair_Aligning() paths must be str, not %.100s", type_name(object).c_str());
        return 0;
    }
    return pairfit_python::path_of(object, *static_cast<std::string*>(out)) ? 1 : 0;
}

PyObject* Wrappalignment_ICpair(PyObject* /*self*/, PyObject* args) {
    std::string img_path, cam_path, output_dir;
    int out_size = 600;
    int is_masked = 1;
    if (!PyArg_ParseTuple(args, "O&O&|O&ip:ICpair_Aligning", file_system_text, &img_path, file_system_text,
                          &cam_path, file_system_text, &output_dir, &out_size, &is_masked)) {
        return nullptr;
    }
    try {
        // The arguments are copied out of their Python objects before the lock is released.
        pairfit::AlignRequest request{img_path, cam_path, output_dir, out_size, is_masked != 0};
        // Only the interpreter's exit stops it; Ctrl-C waits for the result, as ever.
        request.checkpoint = stop_if_interpreter_exiting;
        request.checkpoint_within_stages = true;
        return numbers_of(without_the_lock([&request] { return pairfit::align_exact(request); }));
    } catch (const InterpreterExiting&) {
        return raise_interpreter_exiting();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return raise_python_error();
    }
}

const char kAlignDoc[] =
    "align($module, /, reference, camera, output_dir='', out_size=600, is_masked=True, "
    "refine=True, *, model='similarity', channels='bgr', max_pixels=100000000)\n"
    "--\n\n"
    "Align a reference image with a camera photograph of it, precisely.\n\n"
    "Like ICpair_Aligning (same files, outcomes and errors), but finds the\n"
    "transform with rotation and to a fraction of a pixel: the exact search\n"
    "and a feature-based estimate compete, the better is refined near the\n"
    "output square, and the final warp is bilinear. With refine=False the\n"
    "five numbers are exactly ICpair_Aligning's.\n\n"
    "reference and camera (keywords img_path and cam_path also accepted) are\n"
    "each a path (str, bytes, os.PathLike) or an image in memory: an object\n"
    "with the buffer protocol (numpy array, memoryview) of uint8 with shape\n"
    "(H, W), (H, W, 3) or (H, W, 4) (alpha ignored), in the channel order\n"
    "`channels` names ('bgr', OpenCV's, or 'rgb', Pillow's and imageio's).\n"
    "Arrays are read in place when they are BGR rows of packed pixels and\n"
    "converted otherwise; an array is never 'missing'. The crops of arrays\n"
    "written to a folder are named reference_aligned.jpg and\n"
    "camera_aligned.png; output_dir='' with a reference array writes them\n"
    "into the current directory.\n\n"
    "output_dir=None writes nothing. 'reference_crop' and 'camera_crop' are\n"
    "the two aligned squares as numpy arrays (out_size x out_size x 3, uint8,\n"
    "in the order `channels` names), None when nothing was aligned.\n\n"
    "Returns a dict: 'score', 'theta', 's', 't_x', 't_y' (floats, as\n"
    "ICpair_Aligning), 'outcome' ('aligned', 'missing' or 'special'),\n"
    "'method' (the estimate that won), 'matrix' (3x3 nested lists: reference\n"
    "pixels to pixels of the camera image as given), 'files' (the two paths\n"
    "written, empty when none), 'correlation' (of the two aligned images over\n"
    "the square, -1 to 1), 'misalignment_px' (how far apart the two crops\n"
    "still are, 95th percentile over the square in camera pixels, measured\n"
    "from local windows; None where the square shows too little detail),\n"
    "the two crops and 'error' (for the 'missing'\n"
    "outcome, which image could not be read and why: not found, permission\n"
    "denied, not a regular file, cannot be decoded; None otherwise).\n\n"
    "model is 'similarity', 'homography' or 'deformable' (a homography and\n"
    "a smooth displacement, 'field', used only where it earns its\n"
    "parameters; pairfit.map_points carries points through both). An image with more than\n"
    "max_pixels pixels is refused with ValueError before it is decoded.\n"
    "Ctrl-C stops the call with KeyboardInterrupt within a fraction of a\n"
    "second, inside its long stages too, and nothing is written once it\n"
    "has. Once the interpreter has begun to exit, calls on its other threads\n"
    "stop with SystemExit, which ends a thread without a traceback.\n"
    "Raises TypeError or ValueError for\n"
    "arguments it cannot take, OSError when an output cannot be written.";

// Thrown by the checkpoint when a signal handler has raised (Ctrl-C). The
// Python exception is already set on the calling thread and stays there, to
// be raised once the lock is back.
struct InterruptedByPython {};

// Runs the interpreter's signal handlers between the stages of an alignment
// and inside them, on the thread that called align only (the one whose lock
// it takes). Handlers only run on the main thread; elsewhere this finds
// nothing.
void check_for_signals() {
    stop_if_interpreter_exiting();
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    if (raised) throw InterruptedByPython();
}

// The keywords img_path and cam_path name the first two parameters as they
// were called before images in memory were accepted. `renamed` is a new dict
// with the current names, or null when there were no keywords.
bool rename_old_keywords(PyObject* kwargs, PyObject** renamed) {
    *renamed = nullptr;
    if (kwargs == nullptr) return true;
    PyObject* copy = PyDict_Copy(kwargs);
    if (copy == nullptr) return false;
    const std::pair<const char*, const char*> names[] = {{"img_path", "reference"},
                                                         {"cam_path", "camera"}};
    for (const auto& [old_name, new_name] : names) {
        PyObject* value = PyDict_GetItemString(copy, old_name);
        if (value == nullptr) continue;
        if (PyDict_GetItemString(copy, new_name) != nullptr) {
            PyErr_Format(PyExc_TypeError, "align() got both '%s' and its old name '%s'", new_name,
                         old_name);
        } else if (PyDict_SetItemString(copy, new_name, value) == 0) {
            PyDict_DelItemString(copy, old_name);
        }
        if (PyErr_Occurred()) {
            Py_DECREF(copy);
            return false;
        }
    }
    *renamed = copy;
    return true;
}

bool model_of(const std::string& name, pairfit::Model& model) {
    const auto named = pairfit::kModelNames.find(name);
    if (named != pairfit::kModelNames.end()) {
        model = named->second;
        return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "align() argument 'model' must be 'similarity', 'homography' or 'deformable', not '%s'",
                 name.c_str());
    return false;
}

bool channels_of(const std::string& name, Channels& order) {
    if (name == "bgr" || name == "rgb") {
        order = name == "bgr" ? Channels::bgr : Channels::rgb;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "align() argument 'channels' must be 'bgr' or 'rgb', not '%s'",
                 name.c_str());
    return false;
}

bool output_of(PyObject* output_dir, pairfit::AlignRequest& request) {
    if (output_dir == nullptr) return true;
    if (output_dir == Py_None) {
        request.write_files = false;
        return true;
    }
    return pairfit_python::path_of(output_dir, request.output_dir);
}

bool limit_of(long long max_pixels, pairfit::AlignRequest& request) {
    if (max_pixels < 1) {
        PyErr_Format(PyExc_ValueError, "align() argument 'max_pixels' must be at least 1, not %lld",
                     max_pixels);
        return false;
    }
    request.max_pixels = max_pixels;
    return true;
}

pairfit::ImageSource source_of(const ImageArgument& image, Channels order) {
    pairfit::ImageSource source(image.path());
    if (image.is_array()) source.pixels = image.to_bgr(order);
    return source;
}

PyObject* matrix_of(const cv::Matx33d& m) {
    return Py_BuildValue("[[ddd][ddd][ddd]]", m(0, 0), m(0, 1), m(0, 2), m(1, 0), m(1, 1), m(1, 2),
                         m(2, 0), m(2, 1), m(2, 2));
}

// File names as the file system has them, also when they are not UTF-8.
PyObject* files_of(const pairfit::PreciseResult& r) {
    if (r.img_file.empty()) return PyList_New(0);
    // "N" steals both names, and releases them too when the list fails.
    return Py_BuildValue("[NN]", PyUnicode_DecodeFSDefault(r.img_file.c_str()),
                         PyUnicode_DecodeFSDefault(r.cam_file.c_str()));
}

// Text that holds file names, as the file system has them; None when empty.
PyObject* text_or_none(const std::string& text) {
    if (text.empty()) Py_RETURN_NONE;
    return PyUnicode_DecodeFSDefault(text.c_str());
}

// None where the crops cannot tell how far apart they are.
PyObject* misalignment_of(double px) {
    if (std::isnan(px)) Py_RETURN_NONE;
    return PyFloat_FromDouble(px);
}

// The five numbers, then the precise entry's keys in their table's order;
// with the deformable model, its field last.
PyObject* precise_result_of(const pairfit::PreciseResult& r, Channels order, pairfit::Model model) {
    using Value = std::function<PyObject*()>;
    static_assert(pairfit::kPreciseKeys.size() == 9, "one value for each key below");
    const std::array<Value, pairfit::kPreciseKeys.size()> values = {
        [&] { return PyUnicode_FromString(pairfit::outcome_name(r.outcome)); },
        [&] { return PyUnicode_FromString(r.method.c_str()); },
        [&] { return matrix_of(r.matrix); },
        [&] { return files_of(r); },
        [&] { return PyFloat_FromDouble(r.correlation); },
        [&] { return misalignment_of(r.misalignment_px); },
        [&] { return pairfit_python::numpy_image(r.reference_crop, order); },
        [&] { return pairfit_python::numpy_image(r.camera_crop, order); },
        [&] { return text_or_none(r.unreadable); },
    };
    PyObject* dict = numbers_of(r.transform);
    for (std::size_t k = 0; dict != nullptr && k < values.size(); ++k) {
        if (!set_new_item(dict, pairfit::kPreciseKeys[k], values[k]())) Py_CLEAR(dict);
    }
    if (dict != nullptr && model == pairfit::Model::deformable &&
        !set_new_item(dict, "field", pairfit_python::field_dict(r.field))) {
        Py_CLEAR(dict);
    }
    return dict;
}

// Aligns a request whose arguments have all been taken; the result, or null
// with the Python exception set.
PyObject* aligned(const ImageArgument& reference, const ImageArgument& camera, Channels order,
                  pairfit::AlignRequest& request, const pairfit::PreciseOptions& options) {
    request.checkpoint = check_for_signals;
    request.checkpoint_within_stages = true;
    pairfit::PreciseResult r;
    try {
        // Arrays are converted without the lock too; their buffers stay held
        // by the caller until the call is done.
        r = without_the_lock([&] {
            request.reference = source_of(reference, order);
            request.camera = source_of(camera, order);
            return pairfit::align_precise(request, options);
        });
    } catch (const InterruptedByPython&) {
        return nullptr;
    } catch (const InterpreterExiting&) {
        return raise_interpreter_exiting();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return raise_python_error();
    }
    return precise_result_of(r, order, options.model);
}

PyObject* align_with_keywords(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"reference", "camera", "output_dir", "out_size", "is_masked",
                                     "refine", "model", "channels", "max_pixels", nullptr};
    PyObject* reference_arg = nullptr;
    PyObject* camera_arg = nullptr;
    PyObject* output_dir = nullptr;
    int out_size = 600;
    int is_masked = 1;
    int refine = 1;
    const char* model = "similarity";
    const char* channels = "bgr";
    long long max_pixels = pairfit::AlignRequest().max_pixels;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|Oipp$ssL", const_cast<char**>(keywords),
                                     &reference_arg, &camera_arg, &output_dir, &out_size,
                                     &is_masked, &refine, &model, &channels, &max_pixels)) {
        return nullptr;
    }
    pairfit::AlignRequest request;
    pairfit::PreciseOptions options;
    Channels order = Channels::bgr;
    ImageArgument reference, camera;
    if (!model_of(model, options.model) || !channels_of(channels, order) ||
        !limit_of(max_pixels, request) || !reference.take(reference_arg, "reference", max_pixels) ||
        !camera.take(camera_arg, "camera", max_pixels) || !output_of(output_dir, request)) {
        return nullptr;
    }
    request.out_size = out_size;
    request.is_masked = is_masked != 0;
    options.refine = refine != 0;
    return aligned(reference, camera, order, request, options);
}

PyObject* align_precise_wrapper(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    PyObject* renamed = nullptr;
    if (!rename_old_keywords(kwargs, &renamed)) return nullptr;
    PyObject* result = align_with_keywords(args, renamed);
    Py_XDECREF(renamed);
    return result;
}

PyMethodDef alignment_methods[] = {
    {"ICpair_Aligning", Wrappalignment_ICpair, METH_VARARGS, kAligningDoc},
    {"align", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(align_precise_wrapper)),
     METH_VARARGS | METH_KEYWORDS, kAlignDoc},
    {"map_points", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(pairfit_python::map_points)),
     METH_VARARGS | METH_KEYWORDS, pairfit_python::kMapPointsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef alignment_module = {PyModuleDef_HEAD_INIT, "pairfit._pairfit", "", -1, alignment_methods,
                                nullptr, nullptr, nullptr, nullptr};

// The result keys as tuples, so that callers and checks read them from the
// one table the module builds its results from.
template <std::size_t N>
bool add_key_tuple(PyObject* module, const char* name, const std::array<const char*, N>& keys) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(N));
    for (std::size_t k = 0; tuple != nullptr && k < N; ++k) {
        PyObject* key = PyUnicode_FromString(keys[k]);
        if (key == nullptr || PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(k), key) != 0) Py_CLEAR(tuple);
    }
    if (tuple != nullptr && PyModule_AddObject(module, name, tuple) == 0) return true;
    Py_XDECREF(tuple);
    return false;
}

}  // namespace

PyMODINIT_FUNC PyInit__pairfit(void) {
    // OpenCV's own log lines (e.g. on a file it cannot open) would
    // interleave with the caller's output; outcomes are in the result instead.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    PyObject* module = PyModule_Create2(&alignment_module, PYTHON_API_VERSION);
    if (module == nullptr) return nullptr;
    if (!register_exit_hook() || !add_key_tuple(module, "NUMBER_KEYS", pairfit::kNumberKeys) ||
        !add_key_tuple(module, "PRECISE_KEYS", pairfit::kPreciseKeys)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
