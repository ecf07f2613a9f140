#include "interpreter.h"

namespace {

// An attribute of `object` as text; empty when it has none.
std::string text_attribute(PyObject* object, const char* name) {
    PyObject* value = PyObject_GetAttrString(object, name);
    const char* utf8 = value != nullptr && PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, nullptr) : nullptr;
    std::string text = utf8 != nullptr ? utf8 : "";
    Py_XDECREF(value);
    PyErr_Clear();
    return text;
}

}  // namespace

std::string type_name(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    const std::string module = text_attribute(type, "__module__");
    const std::string name = text_attribute(type, "__qualname__");
    return module.empty() || module == "builtins" ? name : module + "." + name;
}
