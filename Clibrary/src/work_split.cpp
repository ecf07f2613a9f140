#include "work_split.h"

#include <thread>

int worker_count() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

std::vector<int> consecutive_runs(int items, int workers) {
    std::vector<int> lengths(workers);
    const int n = items / workers;
    for (int i = 0; i < workers - 1; ++i) lengths[i] = n;
    lengths[workers - 1] = items - (workers - 1) * n;
    return lengths;
}
