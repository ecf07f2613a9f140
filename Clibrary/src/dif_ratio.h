#pragma once
// The difference ratio from its counts, shared by every scorer of the search.

#include <opencv2/core.hpp>

namespace pairfit::detail {

/// The ratio from its counts: `dif_num` differing pixels inside a region of
/// `roi_num` pixels of a rows x cols image. Every scorer ends here, so that
/// all of them round alike.
double ratio_from_counts(int dif_num, int roi_num, int rows, int cols);

}  // namespace pairfit::detail
