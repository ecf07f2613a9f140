#pragma once
// Independent pieces of work on the cores the precise entry can count on, in
// a fixed split, so that the result does not depend on how many threads run
// them.

#include <exception>
#include <functional>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#if defined(__SANITIZE_THREAD__)
#define PAIRFIT_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PAIRFIT_THREAD_SANITIZER 1
#endif
#endif

namespace pairfit {

/// Runs piece(0) to piece(n - 1) side by side (one after the other when the
/// image library runs a single thread) and returns when all are done.
inline void pieces_side_by_side(int n, const std::function<void(int)>& piece) {
#ifdef PAIRFIT_THREAD_SANITIZER
    // ThreadSanitizer cannot see the image library's thread pool
    // synchronise (the pool is not instrumented): under it the pieces get
    // threads of their own, so that it checks the pieces, not the pool.
    std::vector<std::exception_ptr> errors(n);
    const auto run = [&](int i) {
        try {
            piece(i);
        } catch (...) {
            errors[i] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    for (int i = 1; i < n; ++i) threads.emplace_back(run, i);
    run(0);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors) {
        if (e) std::rethrow_exception(e);
    }
#else
    cv::parallel_for_(cv::Range(0, n), [&](const cv::Range& r) {
        for (int i = r.start; i < r.end; ++i) piece(i);
    }, n);
#endif
}

/// Runs `first` and `second` side by side and returns when both are done.
inline void side_by_side(const std::function<void()>& first, const std::function<void()>& second) {
    pieces_side_by_side(2, [&](int i) { (i == 0 ? first : second)(); });
}

}  // namespace pairfit
