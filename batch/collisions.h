#pragma once
// Output files that more than one pair of a run would write, and output
// files that would replace a file the run reads.

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

/// A file a run writes or reads, and what it is to the run ("the overlay of
/// in/p.jpg", "camera image").
struct RunFile {
    std::string path;
    std::string what;
    std::string canonical = {};  ///< the input's canonical path when known already
};

struct OutputClash {
    RunFile output;
    RunFile input;
};

/// Every file the pairs would write: the two crops of each pair that may
/// write, and with `overlays` its overlay.
std::vector<RunFile> planned_outputs(const std::vector<PairJob>& pairs, const std::string& output_dir,
                                     bool overlays);

/// The outputs that are inputs too. Outputs are compared by their canonical
/// folder and name, as they are put in place by a rename that replaces a
/// link there; inputs by their canonical path, as they are read through links.
std::vector<OutputClash> output_input_clashes(const std::vector<RunFile>& outputs,
                                              const std::vector<RunFile>& inputs);

/// The clashes as lines for a person, "  <output> (<what>) is <what> <input>",
/// without a newline after the last.
std::string describe(const std::vector<OutputClash>& clashes);
