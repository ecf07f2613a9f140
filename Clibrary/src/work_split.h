#pragma once
// How work is cut between threads, shared by the search and the preparation.

#include <vector>

namespace pairfit::detail {

/// Lengths of `workers` consecutive runs covering `items` items: equal runs,
/// the remainder to the last. The search's results depend on this cut, so it
/// stays exactly this one.
std::vector<int> consecutive_runs(int items, int workers);

}  // namespace pairfit::detail
