#include "pairfit/interruption.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include <opencv2/core/utility.hpp>

namespace pairfit {
namespace {

thread_local Interruption* current = nullptr;

// Alignments in flight. A count, not a lock: a process forked while
// another thread aligns starts without that thread (and without a lock it
// might have held).
std::atomic<bool> exiting{false};
std::atomic<int> in_flight{0};

// An alignment stops within a fraction of a second; a thread stuck in a
// single OpenCV call (decoding a huge image) is not waited for beyond this.
constexpr std::chrono::seconds kExitWait{5};
constexpr std::chrono::milliseconds kExitPoll{2};

void stop_all_and_wait() {
    exiting.store(true);
    wait_until_none(in_flight);
}

void forget_other_threads() { in_flight.store(0); }

void stop_if_exiting() {
    if (exiting.load(std::memory_order_acquire)) throw Interrupted();
}

}  // namespace

void wait_until_none(const std::atomic<int>& count) {
    const auto deadline = std::chrono::steady_clock::now() + kExitWait;
    while (count.load() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kExitPoll);
}

InFlight::InFlight() {
    // Registered after OpenCV has made its global objects, so that it runs
    // before those are destroyed. Those of its parallel loops are made on
    // first use: made during the first alignment, they would be destroyed
    // first, under the threads still aligning.
    static std::once_flag registered;
    std::call_once(registered, [] {
        cv::getNumThreads();
        cv::parallel_for_(cv::Range(0, 2), [](const cv::Range&) {});
        std::atexit(stop_all_and_wait);
        pthread_atfork(nullptr, nullptr, forget_other_threads);
    });
    // Counted before the exit is looked at (both in one total order, with
    // the exit's store and count in the other order): either the exit sees
    // this alignment and waits for it, or the alignment sees the exit.
    ++in_flight;
    if (exiting.load()) {
        --in_flight;
        throw Interrupted();
    }
}

InFlight::~InFlight() { --in_flight; }

Interruption::Interruption(std::function<void()> check, bool within_stages)
    : check_(std::move(check)), within_stages_(within_stages && check_),
      owner_(std::this_thread::get_id()), last_check_(std::chrono::steady_clock::now()) {}

void Interruption::run_check() {
    last_check_ = std::chrono::steady_clock::now();
    try {
        check_();
    } catch (...) {
        // Also a thread ended by its runtime on the way (a forced unwind):
        // the workers stop either way, and the exception goes on.
        stopped_.store(true, std::memory_order_release);
        throw;
    }
}

void Interruption::stage_end() {
    stop_if_exiting();
    if (check_ && std::this_thread::get_id() == owner_) run_check();
}

void Interruption::poll() {
    stop_if_exiting();
    if (std::this_thread::get_id() != owner_) {
        if (stopped()) throw Interrupted();
        return;
    }
    if (within_stages_ && std::chrono::steady_clock::now() - last_check_ >= kPollInterval) run_check();
}

Interruption* current_interruption() { return current; }

InterruptionScope::InterruptionScope(Interruption* interruption) : previous_(current) {
    current = interruption;
}

InterruptionScope::~InterruptionScope() { current = previous_; }

}  // namespace pairfit
