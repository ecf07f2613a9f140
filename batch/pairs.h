#pragma once
// The pairs a batch aligns: from a folder or from a CSV file.

#include <string>
#include <vector>

struct PairJob {
    std::string img;  ///< reference image path
    std::string cam;  ///< camera image path
};

/// Every NAME.jpg in `dir` (not its subfolders) with its camera image NAME.png,
/// paired as the one-argument command line pairs them; sorted by name.
/// pairfit's own outputs (NAME_aligned.jpg) are not references.
std::vector<PairJob> pairs_in_folder(const std::string& dir);

/// The rows of a CSV file with a header naming the columns `img` and `cam`
/// (in any order, other columns ignored). Relative paths are taken relative
/// to the CSV file's folder. Throws std::runtime_error naming the file and
/// line for a missing column or an unreadable file.
std::vector<PairJob> pairs_in_csv(const std::string& csv_path);
