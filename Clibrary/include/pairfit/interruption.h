#pragma once
// Stopping an alignment from outside (Ctrl-C) inside its long stages as well
// as between them.
//
// One thread owns an alignment: the one that called its entry. Only that
// thread runs the caller's check (it may need the caller's own state, such as
// Python's interpreter lock); the threads working for it learn from a flag
// that it has stopped, and end their share at their next interruption point.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "errors.h"

namespace pairfit {

/// Thrown at an interruption point of a thread working for an alignment
/// whose owner has stopped it; the owner's own error is the one that surfaces.
class Interrupted : public Error {
public:
    Interrupted() : Error("the alignment was interrupted") {}
};

/// The stop of one alignment, shared by every thread working for it.
class Interruption {
public:
    /// `check` runs on the constructing thread only and stops the alignment
    /// by throwing. With `within_stages` it also runs at interruption
    /// points, at most every kPollInterval.
    Interruption(std::function<void()> check, bool within_stages);

    /// The end of a stage: runs the check now (owner only).
    void stage_end();
    /// An interruption point: cheap enough for every band of rows.
    void poll();
    bool stopped() const { return stopped_.load(std::memory_order_acquire); }

    /// How long the owner's work may go unchecked: well under the second a
    /// user waits for Ctrl-C to act, well above the cost of one check.
    static constexpr std::chrono::milliseconds kPollInterval{50};

private:
    void run_check();

    std::function<void()> check_;
    bool within_stages_;
    std::thread::id owner_;
    std::chrono::steady_clock::time_point last_check_;
    std::atomic<bool> stopped_{false};
};

/// Marks an alignment in flight for its lifetime. When the process exits
/// (exit() or a return from main), every alignment in flight is stopped at
/// its next interruption point and waited for before OpenCV's and the
/// runtime's global objects are destroyed: threads still aligning then (such
/// as Python's daemon threads) would use them destroyed.
class InFlight {
public:
    InFlight();
    ~InFlight();
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
};

/// Waits until `count` (threads still inside some code) is zero, but no
/// longer than an exit waits for the alignments in flight (5 s): a thread
/// stuck in a single OpenCV call is not waited for beyond that.
void wait_until_none(const std::atomic<int>& count);

/// The interruption of the alignment the current thread works for; null
/// outside any.
Interruption* current_interruption();

/// Makes `interruption` the current thread's for its lifetime, and restores
/// the one before.
class InterruptionScope {
public:
    explicit InterruptionScope(Interruption* interruption);
    ~InterruptionScope();
    InterruptionScope(const InterruptionScope&) = delete;
    InterruptionScope& operator=(const InterruptionScope&) = delete;

private:
    Interruption* previous_;
};

/// An interruption point of the current thread's alignment, if any: returns
/// at once unless the check is due or the alignment has stopped.
inline void interruption_point() {
    if (Interruption* i = current_interruption()) i->poll();
}

}  // namespace pairfit
