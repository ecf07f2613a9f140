#include "interpreter.h"

#include <pthread.h>

#include <atomic>
#include <thread>

#include "pairfit/interruption.h"

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

std::atomic<bool> interpreter_exiting{false};
std::thread::id exiting_thread;
// A count, not a lock: a process forked while another thread aligns starts
// with no such thread (see forget_other_threads).
std::atomic<int> threads_without_the_lock{0};

void forget_other_threads() { threads_without_the_lock.store(0); }

// The interpreter's exit hooks run on the thread that shuts it down, before
// it ends the daemon threads and frees its state. A daemon thread still in
// an alignment then would be ended while it unwinds through OpenCV's
// parallel loops, or ask for the lock through state already freed. So the
// hook stops the alignments and waits, without the lock, until every thread
// has left the module's code.
PyObject* stop_other_threads_aligning(PyObject* /*self*/, PyObject* /*unused*/) {
    exiting_thread = std::this_thread::get_id();
    interpreter_exiting.store(true, std::memory_order_release);
    PyThreadState* const state = PyEval_SaveThread();
    pairfit::wait_until_none(threads_without_the_lock);
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyMethodDef exit_hook = {"_stop_other_threads_aligning", stop_other_threads_aligning, METH_NOARGS, nullptr};

}  // namespace

namespace interpreter_detail {

void enter_without_the_lock() { ++threads_without_the_lock; }

void leave_without_the_lock() { --threads_without_the_lock; }

}  // namespace interpreter_detail

bool register_exit_hook() {
    pthread_atfork(nullptr, nullptr, forget_other_threads);
    PyObject* hook = PyCFunction_NewEx(&exit_hook, nullptr, nullptr);
    PyObject* atexit = hook == nullptr ? nullptr : PyImport_ImportModule("atexit");
    PyObject* registered = atexit == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", hook);
    Py_XDECREF(registered);
    Py_XDECREF(atexit);
    Py_XDECREF(hook);
    return registered != nullptr;
}

void stop_if_interpreter_exiting() {
    if (interpreter_exiting.load(std::memory_order_acquire) && std::this_thread::get_id() != exiting_thread) {
        throw InterpreterExiting();
    }
}

PyObject* raise_interpreter_exiting() {
    PyErr_SetString(PyExc_SystemExit, "pairfit: the interpreter is shutting down; the alignment was stopped");
    return nullptr;
}

std::string type_name(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    const std::string module = text_attribute(type, "__module__");
    const std::string name = text_attribute(type, "__qualname__");
    return module.empty() || module == "builtins" ? name : module + "." + name;
}
