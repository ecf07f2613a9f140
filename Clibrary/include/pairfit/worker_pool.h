#pragma once
// The threads that every alignment's parallel work runs on: started once and
// reused by every call, never one thread per call. A thread ends by handing
// back its per-thread data (OpenCV's among it) in pieces that the process's
// heap does not return: a long run of calls on new threads grows without end.
//
// A piece of work gets a thread at once, an idle one or a new one that then
// stays, up to a bound of a few threads for every core; beyond it, the
// caller runs the work itself. Work that waits for work it started (the
// search inside a job) can thus never wait for itself, and the pool holds
// no more threads than the most work that ran at one time, nor more than
// the bound however many callers align at once.

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <type_traits>
#include <utility>

#include "pairfit/interruption.h"

namespace pairfit {
namespace detail {

/// Runs `task` on a thread of the pool, or on the caller when the pool is
/// full and busy or no thread can be started.
void submit(std::function<void()> task);

/// Waits until `ready_within(slice)` (which waits at most that long) says
/// so, passing an interruption point between slices: an owner waiting for
/// its workers still reacts to a stop.
void wait_until(const std::function<bool(std::chrono::milliseconds)>& ready_within);

}  // namespace detail

/// Runs fn(0), ..., fn(parts - 1) at once, fn(0) on the calling thread, and
/// returns when all have ended: the error of the lowest part that raised one
/// is rethrown. Each part runs under the caller's interruption.
void run_parts(int parts, const std::function<void(int)>& fn);

/// Work started on a thread of the pool whose result is taken once. It is
/// waited for in the destructor as well, so that whatever the work refers
/// to on the starting thread's stack outlives it, also when an error leaves
/// that frame early.
template <class T>
class Job {
public:
    Job() = default;
    explicit Job(std::future<T> result) : result_(std::move(result)) {}
    Job(Job&&) noexcept = default;
    Job& operator=(Job&& other) noexcept {
        wait();
        result_ = std::move(other.result_);
        return *this;
    }
    ~Job() { wait(); }

    bool valid() const { return result_.valid(); }
    /// The result, or the work's error; interruption points pass meanwhile.
    T get() {
        detail::wait_until([this](std::chrono::milliseconds slice) {
            return result_.wait_for(slice) == std::future_status::ready;
        });
        return result_.get();
    }

private:
    void wait() const {
        if (result_.valid()) result_.wait();
    }

    std::future<T> result_;
};

/// Starts `fn()` on a thread of the pool, under the caller's interruption.
template <class Fn>
auto start_job(Fn fn) -> Job<std::invoke_result_t<Fn>> {
    using Result = std::invoke_result_t<Fn>;
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(fn));
    Job<Result> job(task->get_future());
    Interruption* owner = current_interruption();
    detail::submit([task, owner] {
        const InterruptionScope scope(owner);
        (*task)();
    });
    return job;
}

}  // namespace pairfit
