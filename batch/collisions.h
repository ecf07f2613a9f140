#pragma once
// Output files that more than one pair of a run would write.

#include <string>
#include <vector>

#include "pairs.h"

struct OutputCollision {
    std::string output;                ///< the file, as the first pair names it
    std::vector<std::string> sources;  ///< the reference or camera image of each pair writing it
};

/// The aligned files that two or more different pairs would write into the
/// same place (NAME_aligned.jpg from a/NAME.jpg and b/NAME.jpg with one
/// output folder), found from the names alone. Pairs are told apart by their
/// canonical paths: the same pair listed twice is no collision. A pair with
/// an absent image writes nothing and collides with none.
std::vector<OutputCollision> output_collisions(const std::vector<PairJob>& pairs,
                                               const std::string& output_dir);

/// The collisions as lines for a person, "  <output>: <source>, <source>",
/// without a newline after the last.
std::string describe(const std::vector<OutputCollision>& collisions);
