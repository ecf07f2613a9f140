#include "pairfit/worker_pool.h"

#include <pthread.h>

#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace pairfit {
namespace {

// Far longer than a thread needs to come back from signalling its work's
// end, far shorter than the work itself.
constexpr std::chrono::milliseconds kReturnWait{2};

class Pool {
public:
    void submit(std::function<void()> task) {
        std::unique_lock<std::mutex> lock(mutex_);
        queue_.push_back(std::move(task));
        // A thread whose work has just signalled its end is about to come
        // back for more: waiting for it a moment keeps a busy machine's
        // scheduling delays from growing the pool call after call.
        returned_.wait_for(lock, kReturnWait, [this] { return static_cast<int>(queue_.size()) <= idle_; });
        if (static_cast<int>(queue_.size()) <= idle_) {
            lock.unlock();
            work_.notify_one();
            return;
        }
        try {
            std::thread(&Pool::serve, this).detach();
        } catch (...) {
            queue_.pop_back();
            throw;
        }
    }

private:
    [[noreturn]] void serve() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ++idle_;
                returned_.notify_all();
                work_.wait(lock, [this] { return !queue_.empty(); });
                --idle_;
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            task();  // tasks keep their errors to themselves
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable returned_;
    std::deque<std::function<void()>> queue_;
    int idle_ = 0;  ///< threads waiting for work, which a queued task may count on
};

// Never destroyed: threads of the caller may still be working while the
// process exits (Python's daemon threads), and the pool's threads sleep in
// its condition variable until the very end.
Pool* pool = nullptr;
std::once_flag pool_made;

// A forked child has none of the parent's threads: it starts a pool of its
// own (the parent's, whose lock a thread may have held, is left alone).
void new_pool_in_child() { pool = new Pool; }

Pool& the_pool() {
    std::call_once(pool_made, [] {
        pool = new Pool;
        pthread_atfork(nullptr, nullptr, new_pool_in_child);
    });
    return *pool;
}

// Long enough that waiting costs nothing, short enough for the owner's
// interruption points to keep their pace.
constexpr std::chrono::milliseconds kWaitSlice{10};

// The parts run on the pool and their outcome. Its owner always waits for
// every part before leaving the frame that holds it.
struct Parts {
    explicit Parts(int count) : errors(count) {}

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

// Waits for every started part when its frame is left, normally or not.
class WaitForParts {
public:
    explicit WaitForParts(Parts& parts) : parts_(parts) {}
    ~WaitForParts() { parts_.wait_for_all(); }
    WaitForParts(const WaitForParts&) = delete;
    WaitForParts& operator=(const WaitForParts&) = delete;

private:
    Parts& parts_;
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
    std::vector<int> unstarted;
    const WaitForParts waiting(parts);
    for (int part = 1; part < count; ++part) {
        {
            std::lock_guard<std::mutex> lock(parts.mutex);
            ++parts.running;
        }
        try {
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
        } catch (const std::system_error&) {
            parts.finish(part, nullptr);  // no thread to spare: the caller runs it
            unstarted.push_back(part);
        }
    }
    fn(0);
    for (int part : unstarted) fn(part);
    detail::wait_until([&parts](std::chrono::milliseconds slice) { return parts.ended_within(slice); });
    for (const std::exception_ptr& e : parts.errors) {
        if (e) std::rethrow_exception(e);
    }
}

}  // namespace pairfit
