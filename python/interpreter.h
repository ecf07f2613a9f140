#pragma once
// What the module needs of the interpreter beyond the single calls of its
// stable ABI (the wheel holds one module for every CPython from 3.11 on).

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <string>
#include <utility>

/// True on a thread from the moment it gives up the interpreter lock to
/// align until it has it back. Once the interpreter is shutting down, taking
/// the lock back ends a daemon thread by unwinding its stack with the flag
/// still set: what unwinds then must not touch a Python object.
inline thread_local bool lock_given_up = false;

// Runs `work` without the interpreter lock, so that other Python threads run
// while an alignment works, and takes the lock back before anything touches a
// Python object again, also when the work throws. Taking it back is plain
// code, not a destructor: once the interpreter is shutting down, taking the
// lock ends a daemon thread by unwinding its stack, which must meet neither a
// noexcept frame (a destructor) nor an exception already in flight.
template <class Work>
auto without_the_lock(const Work& work) -> decltype(work()) {
    PyThreadState* const state = PyEval_SaveThread();
    lock_given_up = true;
    std::optional<decltype(work())> result;
    std::exception_ptr error;
    try {
        result.emplace(work());
    } catch (const abi::__forced_unwind&) {
        throw;  // the thread is being ended (its check took the lock): let it end
    } catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    lock_given_up = false;
    if (error) std::rethrow_exception(error);
    return std::move(*result);
}

/// The name of an object's type as the interpreter prints it
/// ("numpy.ndarray", "int").
std::string type_name(PyObject* object);
