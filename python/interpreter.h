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
/// align until it has it back. Should the interpreter end a daemon thread
/// while it takes the lock back, it unwinds the thread's stack with the flag
/// still set: what unwinds then must not touch a Python object.
inline thread_local bool lock_given_up = false;

/// Thrown on any thread but the one shutting the interpreter down, once its
/// exit hooks have begun: an alignment stops at its next checkpoint and a
/// new one does not start.
struct InterpreterExiting {};

/// Registers the exit hook that stops the other threads' alignments and
/// waits for them to leave the module. Returns false with the Python
/// exception set.
bool register_exit_hook();

/// Throws InterpreterExiting on a thread other than the exiting one once the
/// interpreter has begun to shut down.
void stop_if_interpreter_exiting();

/// Sets SystemExit for an alignment stopped by the interpreter's exit (a
/// thread ends on it without a traceback) and returns null.
PyObject* raise_interpreter_exiting();

namespace interpreter_detail {
// Threads inside without_the_lock, which the exit hook waits for.
void enter_without_the_lock();
void leave_without_the_lock();
}  // namespace interpreter_detail

// Runs `work` without the interpreter lock, so that other Python threads run
// while an alignment works, and takes the lock back before anything touches a
// Python object again, also when the work throws. Taking it back is plain
// code, not a destructor: should the interpreter end the thread there, its
// stack unwinds, which must meet neither a noexcept frame (a destructor) nor
// an exception already in flight. The thread is counted from before the lock
// is given up until just before it is taken back: once the interpreter has
// begun to exit, no thread is left in the module's code when it goes on to
// tear itself down (a thread still here then would meet freed state).
template <class Work>
auto without_the_lock(const Work& work) -> decltype(work()) {
    stop_if_interpreter_exiting();
    interpreter_detail::enter_without_the_lock();
    PyThreadState* const state = PyEval_SaveThread();
    lock_given_up = true;
    std::optional<decltype(work())> result;
    std::exception_ptr error;
    try {
        result.emplace(work());
    } catch (const abi::__forced_unwind&) {
        interpreter_detail::leave_without_the_lock();
        throw;  // the thread is being ended: let it end
    } catch (...) {
        error = std::current_exception();
    }
    interpreter_detail::leave_without_the_lock();
    PyEval_RestoreThread(state);
    lock_given_up = false;
    if (error) std::rethrow_exception(error);
    return std::move(*result);
}

/// The name of an object's type as the interpreter prints it
/// ("numpy.ndarray", "int").
std::string type_name(PyObject* object);
