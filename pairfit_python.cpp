// The Python face of the pipeline: the extension module "pairfit".

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "errors.h"
#include "pairfit.h"

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

// Arguments copied out of their Python strings before the lock is released.
SimMat align_without_the_lock(std::string img_path, std::string cam_path, std::string output_dir,
                              int out_size, bool is_masked) {
    const ReleasedInterpreterLock released;
    return alignment_ICpair(img_path.c_str(), cam_path.c_str(), output_dir.c_str(), out_size,
                            is_masked);
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
            align_without_the_lock(img_path, cam_path, output_dir, out_size, is_masked != 0);
        return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d}", "score", result.score, "theta",
                             result.theta, "s", result.s, "t_x", result.t_x, "t_y", result.t_y);
    } catch (...) {
        return raise_python_error();
    }
}

PyMethodDef alignment_methods[] = {
    {"ICpair_Aligning", Wrappalignment_ICpair, METH_VARARGS, kAligningDoc},
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

PyMODINIT_FUNC PyInit_pairfit(void) {
    // The image library's own log lines (e.g. on a file it cannot open) would
    // interleave with the caller's output; outcomes are in the result instead.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    return PyModule_Create2(&alignment_module, PYTHON_API_VERSION);
}
