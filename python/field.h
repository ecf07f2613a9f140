#pragma once
// The deformable model's displacement field in a result dict, and points
// carried through a result's whole map.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pairfit/precise.h"

namespace pairfit_python {

/// {"origin": [x, y], "spacing": h, "shape": [rows, cols], "dx": [[...]],
/// "dy": [[...]]} (camera pixels), or None for an empty field.
PyObject* field_dict(const pairfit::DisplacementField& field);

/// pairfit.map_points(result, points, inverse=False).
PyObject* map_points(PyObject* self, PyObject* args, PyObject* kwargs);

extern const char kMapPointsDoc[];

}  // namespace pairfit_python
