// The Python face of the pipeline: the extension module "pairfit".

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <new>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "errors.h"
#include "pairfit/pipeline.h"
#include "pairfit/precise.h"

namespace {

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
    "written, RuntimeError for other image-library failures.";

// Releases the interpreter lock for its lifetime, so that other Python
// threads run while an alignment works; it is taken back before anything
// touches a Python object again, also when the alignment throws.
class ReleasedInterpreterLock {
public:
    ReleasedInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }
    ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
    ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// Arguments are copied out of their Python objects before the lock is released.
SimMat align_without_the_lock(const pairfit::AlignRequest& request) {
    const ReleasedInterpreterLock released;
    return pairfit::align_exact(request);
}

// A new dict holding the five numbers under their keys, in their order.
PyObject* numbers_of(const SimMat& m) {
    const double values[] = {m.score, m.theta, m.s, m.t_x, m.t_y};
    PyObject* dict = PyDict_New();
    for (std::size_t k = 0; dict != nullptr && k < pairfit::kNumberKeys.size(); ++k) {
        PyObject* value = PyFloat_FromDouble(values[k]);
        if (value == nullptr || PyDict_SetItemString(dict, pairfit::kNumberKeys[k], value) != 0) {
            Py_XDECREF(value);
            Py_CLEAR(dict);
            break;
        }
        Py_DECREF(value);
    }
    return dict;
}

// Adds `value` (a new reference, stolen) under `key`; false on failure, with
// the dict left for the caller to release.
bool set_new_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status == 0;
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

PyObject* Wrappalignment_ICpair(PyObject* /*self*/, PyObject* args) {
    const char* img_path = nullptr;
    const char* cam_path = nullptr;
    const char* output_dir = "";
    int out_size = 600;
    int is_masked = 1;
    if (!PyArg_ParseTuple(args, "ss|sip", &img_path, &cam_path, &output_dir, &out_size,
                          &is_masked)) {
        return nullptr;
    }
    try {
        const SimMat result =
            align_without_the_lock({img_path, cam_path, output_dir, out_size, is_masked != 0});
        return numbers_of(result);
    } catch (...) {
        return raise_python_error();
    }
}

const char kAlignDoc[] =
    "align($module, /, img_path, cam_path, output_dir='', out_size=600, is_masked=True, refine=True)\n"
    "--\n\n"
    "Align a reference image with a camera photograph of it, precisely.\n\n"
    "Like ICpair_Aligning (same files, outcomes and errors), but finds the\n"
    "transform with rotation and to a fraction of a pixel: the exact search\n"
    "and a feature-based estimate compete, the better is refined near the\n"
    "output square, and the final warp is bilinear. With refine=False the\n"
    "five numbers are exactly ICpair_Aligning's.\n\n"
    "Returns a dict: 'score', 'theta', 's', 't_x', 't_y' (floats, as\n"
    "ICpair_Aligning), 'outcome' ('aligned', 'missing' or 'special'),\n"
    "'method' (the estimate that won), 'matrix' (the 2x3 map as nested\n"
    "lists) and 'files' (the two paths written, empty when none).";

PyObject* matrix_of(const SimMat& m) {
    return Py_BuildValue("[[ddd][ddd]]", m.mat.at<double>(0, 0), m.mat.at<double>(0, 1),
                         m.mat.at<double>(0, 2), m.mat.at<double>(1, 0), m.mat.at<double>(1, 1),
                         m.mat.at<double>(1, 2));
}

PyObject* files_of(const pairfit::PreciseResult& r) {
    if (r.img_file.empty()) return PyList_New(0);
    return Py_BuildValue("[ss]", r.img_file.c_str(), r.cam_file.c_str());
}

PyObject* Wrappalign_precise(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"img_path", "cam_path", "output_dir", "out_size",
                                     "is_masked", "refine", nullptr};
    const char* img_path = nullptr;
    const char* cam_path = nullptr;
    const char* output_dir = "";
    int out_size = 600;
    int is_masked = 1;
    int refine = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss|sipp", const_cast<char**>(keywords),
                                     &img_path, &cam_path, &output_dir, &out_size, &is_masked,
                                     &refine)) {
        return nullptr;
    }
    pairfit::PreciseResult r;
    try {
        const pairfit::AlignRequest request{img_path, cam_path, output_dir, out_size, is_masked != 0};
        pairfit::PreciseOptions options;
        options.refine = refine != 0;
        const ReleasedInterpreterLock released;
        r = pairfit::align_precise(request, options);
    } catch (...) {
        return raise_python_error();
    }
    PyObject* dict = numbers_of(r.transform);
    const auto& keys = pairfit::kPreciseKeys;
    if (dict == nullptr ||
        !set_new_item(dict, keys[0], PyUnicode_FromString(pairfit::outcome_name(r.outcome))) ||
        !set_new_item(dict, keys[1], PyUnicode_FromString(r.method.c_str())) ||
        !set_new_item(dict, keys[2], matrix_of(r.transform)) ||
        !set_new_item(dict, keys[3], files_of(r))) {
        Py_XDECREF(dict);
        return nullptr;
    }
    return dict;
}

PyMethodDef alignment_methods[] = {
    {"ICpair_Aligning", Wrappalignment_ICpair, METH_VARARGS, kAligningDoc},
    {"align", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Wrappalign_precise)),
     METH_VARARGS | METH_KEYWORDS, kAlignDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef alignment_module = {
    PyModuleDef_HEAD_INIT,
    "pairfit",
    "",
    -1,
    alignment_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

namespace {

// The result keys as tuples, so that callers and checks read them from the
// one table the module builds its results from.
template <std::size_t N>
bool add_key_tuple(PyObject* module, const char* name, const std::array<const char*, N>& keys) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(N));
    if (tuple == nullptr) return false;
    for (std::size_t k = 0; k < N; ++k) {
        PyObject* key = PyUnicode_FromString(keys[k]);
        if (key == nullptr) {
            Py_DECREF(tuple);
            return false;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(k), key);
    }
    if (PyModule_AddObject(module, name, tuple) != 0) {
        Py_DECREF(tuple);
        return false;
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_pairfit(void) {
    // The image library's own log lines (e.g. on a file it cannot open) would
    // interleave with the caller's output; outcomes are in the result instead.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    PyObject* module = PyModule_Create2(&alignment_module, PYTHON_API_VERSION);
    if (module == nullptr) return nullptr;
    if (!add_key_tuple(module, "NUMBER_KEYS", pairfit::kNumberKeys) ||
        !add_key_tuple(module, "PRECISE_KEYS", pairfit::kPreciseKeys)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
