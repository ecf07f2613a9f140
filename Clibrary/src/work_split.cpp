#include "work_split.h"

#include <algorithm>
#include <exception>
#include <thread>

#include "pairfit/core.h"
#include "pairfit/worker_pool.h"

namespace pairfit {

int worker_count() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

void for_each_band(int rows, int bands, const std::function<void(int, int)>& fn) {
    bands = std::max(1, std::min(bands, rows));
    const std::vector<int> lengths = detail::consecutive_runs(rows, bands);
    std::vector<int> firsts(bands + 1, 0);
    for (int b = 0; b < bands; ++b) firsts[b + 1] = firsts[b] + lengths[b];
    run_parts(bands, [&](int b) { fn(firsts[b], firsts[b + 1]); });
}

}  // namespace pairfit

namespace pairfit::detail {

std::vector<int> consecutive_runs(int items, int workers) {
    std::vector<int> lengths(workers);
    const int n = items / workers;
    for (int i = 0; i < workers - 1; ++i) lengths[i] = n;
    lengths[workers - 1] = items - (workers - 1) * n;
    return lengths;
}

}  // namespace pairfit::detail
