#pragma once
// Two independent pieces of work on the two cores the precise entry can
// count on, in a fixed split, so that the result does not depend on how
// many threads run them.

#include <functional>

#include <opencv2/core.hpp>

namespace pairfit {

/// Runs `first` and `second` side by side (one after the other when the
/// image library runs a single thread) and returns when both are done.
inline void side_by_side(const std::function<void()>& first, const std::function<void()>& second) {
    cv::parallel_for_(cv::Range(0, 2), [&](const cv::Range& r) {
        for (int i = r.start; i < r.end; ++i) (i == 0 ? first : second)();
    }, 2);
}

}  // namespace pairfit
