#pragma once
// The three outcomes of an alignment and the result keys every face uses.

#include <array>

#include "SimMat.h"

namespace pairfit {

/// What became of a request: both images aligned, an image missing or
/// unreadable, or a camera image that cannot be binarised ("special").
enum class Outcome { aligned, missing, special };

/// The outcome a result encodes: s == 0 is missing, score == 0 special.
Outcome outcome_of(const SimMat& result);

/// "aligned", "missing" or "special", as results and reports spell them.
const char* outcome_name(Outcome outcome);

/// The keys of the five numbers of every result, in the order they are
/// reported.
inline constexpr std::array<const char*, 5> kNumberKeys = {"score", "theta", "s", "t_x", "t_y"};

/// The further keys of the precise entry's result, after the five numbers.
inline constexpr std::array<const char*, 9> kPreciseKeys = {
    "outcome", "method", "matrix", "files", "correlation", "misalignment_px", "reference_crop", "camera_crop",
    "error"};

}  // namespace pairfit
