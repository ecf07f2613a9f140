#pragma once
// Two independent pieces of work on the two cores the precise entry can
// count on, in a fixed split, so that the result does not depend on how
// many threads run them. The worker pool's threads, not OpenCV's pool, so
// that the thread checker sees every hand-over.

#include <functional>

#include "pairfit/core.h"

namespace pairfit {

/// Runs `first` and `second` side by side (`second` on a thread of its own)
/// and returns when both are done; the first error either raises is rethrown.
inline void side_by_side(const std::function<void()>& first, const std::function<void()>& second) {
    for_each_band(2, 2, [&](int part, int) { (part == 0 ? first : second)(); });
}

}  // namespace pairfit
