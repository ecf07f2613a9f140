#include "pairfit/worker_pool.h"

#include <pthread.h>

#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "pairfit/core.h"

namespace pairfit {
namespace {

// Far longer than a thread needs to come back from signalling its work's
// end, far shorter than the work itself.
constexpr std::chrono::milliseconds kReturnWait{2};

class Pool {
public:
    /// Queues `task` for a thread of the pool, or runs it on the caller
    /// when the pool is full and none of its threads is free.
    void submit(std::function<void()> task) {
        std::unique_lock<std::mutex> lock(mutex_);
        // A thread whose work has just signalled its end is about to come
        // back for more: waiting for it a moment keeps a busy machine's
        // scheduling delays from growing the pool call after call.
        returned_.wait_for(lock, kReturnWait, [this] { return spare() > 0; });
        if (spare() <= 0 && !started_thread()) {
            lock.unlock();
            task();  // never waits: the caller is not waiting for work queued behind it
            return;
        }
        queue_.push_back(std::move(task));
        lock.unlock();
        work_.notify_one();
    }

private:
    // Threads free for one more task: idle ones (new ones count from their
    // start) less the tasks already queued for them.
    int spare() const { return idle_ - static_cast<int>(queue_.size()); }

    // Starts one more thread, counted as idle; false when the pool is full
    // or the system has no thread to give. Called with the lock held.
    bool started_thread() {
        if (threads_ >= most_threads_) return false;
        try {
            std::thread(&Pool::serve, this).detach();
        } catch (const std::system_error&) {
            return false;
        }
        ++threads_;
        ++idle_;
        return true;
    }

    [[noreturn]] void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return !queue_.empty(); });
            std::function<void()> task = std::move(queue_.front());
            queue_.pop_front();
            --idle_;
            lock.unlock();
            task();  // tasks keep their errors to themselves
            task = nullptr;  // its captures go before the thread counts as idle again
            lock.lock();
            ++idle_;
            returned_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable returned_;
    std::deque<std::function<void()>> queue_;
    int idle_ = 0;     ///< threads waiting for work, or started and on their way to it
    int threads_ = 0;  ///< threads started, never more than most_threads_
    // The most threads the pool keeps. One alignment has at most a few pieces
    // of its own at once (the camera's decoding, its features, the reference's
    // planes) beside two splits over the cores; more threads than that for
    // every core add no speed, only each thread's stack, malloc arena and
    // OpenCV's per-thread data, which a busy machine's scheduling delays would
    // otherwise keep adding to under many concurrent callers.
    const int most_threads_ = 4 * worker_count() + 4;
};

// Never destroyed: threads of the caller may still be working while the
// process exits (Python's daemon threads), and the pool's threads sleep in
// its condition variable until the very end.
Pool* pool = nullptr;
std::once_flag pool_made;

Pool& the_pool() {
    std::call_once(pool_made, [] {
        pool = new Pool;
        // A forked child has none of the parent's threads: it starts a pool of its
        // own (the parent's, whose lock a thread may have held, is left alone).
        pthread_atfork(nullptr, nullptr, [] { pool = new Pool; });
    });
    return *pool;
}

// Long enough that waiting costs nothing, short enough for the owner's
// interruption points to keep their pace.
constexpr std::chrono::milliseconds kWaitSlice{10};

// The parts run on the pool and their outcome. Its owner always waits for
// every part before leaving the frame that holds it, normally or not.
struct Parts {
    explicit Parts(int count) : errors(count) {}
    ~Parts() { wait_for_all(); }

    void finish(int part, std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(mutex);
        errors[part] = std::move(error);
        --running;
        if (running == 0) ended.notify_all();
    }
    bool ended_within(std::chrono::milliseconds slice) {
        std::unique_lock<std::mutex> lock(mutex);
        return ended.wait_for(lock, slice, [this] { return running == 0; });
    }
    void wait_for_all() {
        std::unique_lock<std::mutex> lock(mutex);
        ended.wait(lock, [this] { return running == 0; });
    }

    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
    std::vector<std::exception_ptr> errors;
};

}  // namespace

namespace detail {

void submit(std::function<void()> task) { the_pool().submit(std::move(task)); }

void wait_until(const std::function<bool(std::chrono::milliseconds)>& ready_within) {
    while (!ready_within(kWaitSlice)) interruption_point();
}

}  // namespace detail

void run_parts(int count, const std::function<void(int)>& fn) {
    if (count <= 1) {
        if (count == 1) fn(0);
        return;
    }
    Parts parts(count);
    Interruption* owner = current_interruption();
    for (int part = 1; part < count; ++part) {
        {
            std::lock_guard<std::mutex> lock(parts.mutex);
            ++parts.running;
        }
        detail::submit([&parts, &fn, owner, part] {
            const InterruptionScope scope(owner);
            std::exception_ptr error;
            try {
                fn(part);
            } catch (...) {
                error = std::current_exception();
            }
            parts.finish(part, std::move(error));
        });
    }
    fn(0);
    detail::wait_until([&parts](std::chrono::milliseconds slice) { return parts.ended_within(slice); });
    for (const std::exception_ptr& e : parts.errors) {
        if (e) std::rethrow_exception(e);
    }
}

}  // namespace pairfit
