#include "field.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "interpreter.h"

namespace pairfit_python {
namespace {

PyObject* rows_of(const cv::Mat& m) {
    PyObject* rows = PyList_New(m.rows);
    for (int r = 0; rows != nullptr && r < m.rows; ++r) {
        PyObject* row = PyList_New(m.cols);
        if (row == nullptr) {
            Py_CLEAR(rows);
            break;
        }
        for (int c = 0; c < m.cols; ++c) PyList_SetItem(row, c, PyFloat_FromDouble(m.at<double>(r, c)));
        PyList_SetItem(rows, r, row);
    }
    return rows;
}

// A sequence of numbers (a list, a tuple, a numpy row) as doubles; false
// with TypeError naming `what` otherwise.
bool numbers_of(PyObject* object, std::vector<double>& numbers, const char* what) {
    PyObject* fast = PySequence_Fast(object, what);
    if (fast == nullptr) return false;
    const Py_ssize_t n = PySequence_Size(fast);
    numbers.resize(static_cast<size_t>(std::max<Py_ssize_t>(n, 0)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(fast, i);
        numbers[i] = item == nullptr ? 0.0 : PyFloat_AsDouble(item);
        Py_XDECREF(item);
        if (PyErr_Occurred()) {
            // Python's own message names neither the argument nor the item.
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s; item %zd is not a number", what, i);
            break;
        }
    }
    Py_DECREF(fast);
    return !PyErr_Occurred();
}

// Rows of `width` numbers each.
bool table_of(PyObject* object, size_t width, std::vector<std::vector<double>>& table, const char* what) {
    PyObject* fast = PySequence_Fast(object, what);
    if (fast == nullptr) return false;
    const Py_ssize_t n = PySequence_Size(fast);
    table.resize(static_cast<size_t>(std::max<Py_ssize_t>(n, 0)));
    bool ok = n >= 0;
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        PyObject* row = PySequence_GetItem(fast, i);
        ok = row != nullptr && numbers_of(row, table[i], what);
        Py_XDECREF(row);
        if (ok && width > 0 && table[i].size() != width) {
            PyErr_Format(PyExc_ValueError, "%s: row %zd has %zu numbers, not %zu", what, i, table[i].size(), width);
            ok = false;
        }
    }
    Py_DECREF(fast);
    return ok;
}

bool matrix_of(PyObject* result, cv::Matx33d& matrix) {
    PyObject* m = PyMapping_GetItemString(result, "matrix");
    if (m == nullptr) return false;
    std::vector<std::vector<double>> rows;
    const bool ok = table_of(m, 3, rows, "map_points() result 'matrix' must be 3 rows of 3 numbers");
    Py_DECREF(m);
    if (!ok) return false;
    if (rows.size() != 3) {
        PyErr_SetString(PyExc_ValueError, "map_points() result 'matrix' must be 3 rows of 3 numbers");
        return false;
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) matrix(r, c) = rows[r][c];
    }
    return true;
}

bool grid_of(PyObject* field, const char* key, int rows, int cols, cv::Mat& grid) {
    PyObject* value = PyMapping_GetItemString(field, key);
    if (value == nullptr) return false;
    std::vector<std::vector<double>> table;
    const bool ok = table_of(value, static_cast<size_t>(cols), table, "map_points() field displacements must be rows of numbers");
    Py_DECREF(value);
    if (!ok) return false;
    if (static_cast<int>(table.size()) != rows) {
        PyErr_Format(PyExc_ValueError, "map_points() field '%s' has %zu rows, its shape says %d", key, table.size(), rows);
        return false;
    }
    grid.create(rows, cols, CV_64F);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) grid.at<double>(r, c) = table[r][c];
    }
    return true;
}

// The result's field, empty where it has none (no key, or None).
bool field_of(PyObject* result, pairfit::DisplacementField& field) {
    PyObject* f = PyMapping_HasKeyString(result, "field") ? PyMapping_GetItemString(result, "field") : nullptr;
    if (f == nullptr || f == Py_None) {
        Py_XDECREF(f);
        return !PyErr_Occurred();
    }
    std::vector<double> origin, shape, spacing;
    PyObject* o = PyMapping_GetItemString(f, "origin");
    PyObject* s = o == nullptr ? nullptr : PyMapping_GetItemString(f, "shape");
    PyObject* h = s == nullptr ? nullptr : PyMapping_GetItemString(f, "spacing");
    bool ok = h != nullptr && numbers_of(o, origin, "map_points() field 'origin' must be two numbers") &&
              numbers_of(s, shape, "map_points() field 'shape' must be two numbers");
    if (ok) field.spacing = PyFloat_AsDouble(h);
    Py_XDECREF(o);
    Py_XDECREF(s);
    Py_XDECREF(h);
    ok = ok && !PyErr_Occurred();
    const auto whole = [](double v) { return v >= 4 && v <= 1e4 && v == std::floor(v); };
    if (ok && (origin.size() != 2 || shape.size() != 2 || !std::isfinite(origin[0]) || !std::isfinite(origin[1]) ||
               !(field.spacing > 0) || !std::isfinite(field.spacing) || !whole(shape[0]) || !whole(shape[1]))) {
        PyErr_SetString(PyExc_ValueError,
                        "map_points() field needs a finite origin (x, y), a finite spacing above 0 and a shape of "
                        "two whole numbers from 4 to 10000");
        ok = false;
    }
    if (ok) {
        field.origin = cv::Point2d(origin[0], origin[1]);
        const int rows = static_cast<int>(shape[0]), cols = static_cast<int>(shape[1]);
        ok = grid_of(f, "dx", rows, cols, field.dx) && grid_of(f, "dy", rows, cols, field.dy);
    }
    Py_DECREF(f);
    return ok;
}

PyObject* numpy_points(const std::vector<cv::Point2d>& points) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(points.size()));
    for (size_t i = 0; list != nullptr && i < points.size(); ++i) {
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), Py_BuildValue("(dd)", points[i].x, points[i].y));
    }
    PyObject* numpy = list == nullptr ? nullptr : PyImport_ImportModule("numpy");
    PyObject* array = numpy == nullptr ? nullptr : PyObject_CallMethod(numpy, "array", "Os", list, "float64");
    PyObject* shaped = array == nullptr ? nullptr : PyObject_CallMethod(array, "reshape", "(ii)", -1, 2);
    Py_XDECREF(array);
    Py_XDECREF(numpy);
    Py_XDECREF(list);
    return shaped;
}

// Python's bool or numpy's.
bool is_bool(PyObject* o) {
    const std::string type = type_name(o);
    return PyBool_Check(o) || type == "numpy.bool_" || type == "numpy.bool";
}

}  // namespace

const char kMapPointsDoc[] =
    "map_points($module, result, points, inverse=False)\n"
    "--\n\n"
    "Carry points through the map of an align() result.\n\n"
    "points: (x, y) pairs (a list, or a numpy array of shape (N, 2)) of\n"
    "reference pixels; returns the pixels of the camera image as given that\n"
    "show them, as a numpy array (N, 2) of float64. With inverse=True,\n"
    "camera pixels to reference pixels (Newton steps on the whole map).\n"
    "The map is result['matrix'], plus result['field'] where the deformable\n"
    "model used one. A point the map cannot take comes back NaN.";

PyObject* field_dict(const pairfit::DisplacementField& field) {
    if (field.empty()) Py_RETURN_NONE;
    PyObject* dx = rows_of(field.dx);
    PyObject* dy = dx == nullptr ? nullptr : rows_of(field.dy);
    if (dy == nullptr) {
        Py_XDECREF(dx);
        return nullptr;
    }
    return Py_BuildValue("{s:[dd],s:d,s:[ii],s:N,s:N}", "origin", field.origin.x, field.origin.y, "spacing",
                         field.spacing, "shape", field.dx.rows, field.dx.cols, "dx", dx, "dy", dy);
}

PyObject* map_points(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"result", "points", "inverse", nullptr};
    PyObject* result = nullptr;
    PyObject* points_arg = nullptr;
    PyObject* inverse_arg = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O", const_cast<char**>(keywords), &result, &points_arg,
                                     &inverse_arg)) {
        return nullptr;
    }
    // Read by truth, inverse="no" would run the inverse.
    if (!is_bool(inverse_arg)) {
        PyErr_Format(PyExc_TypeError, "map_points() argument 'inverse' must be True or False, not %s",
                     type_name(inverse_arg).c_str());
        return nullptr;
    }
    const bool inverse = PyObject_IsTrue(inverse_arg) == 1;
    if (!PyMapping_Check(result) || PySequence_Check(result)) {
        PyErr_SetString(PyExc_TypeError, "map_points() argument 'result' must be the dict align() returned");
        return nullptr;
    }
    cv::Matx33d matrix;
    pairfit::DisplacementField field;
    std::vector<std::vector<double>> table;
    if (!matrix_of(result, matrix) || !field_of(result, field) ||
        !table_of(points_arg, 2, table, "map_points() argument 'points' must be (x, y) pairs")) {
        return nullptr;
    }
    std::vector<cv::Point2d> points;
    for (const std::vector<double>& p : table) points.emplace_back(p[0], p[1]);
    return numpy_points(pairfit::map_points(matrix, field, points, inverse));
}

}  // namespace pairfit_python
