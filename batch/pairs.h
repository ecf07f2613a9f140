#pragma once
// The pairs a batch aligns: from a folder or from a CSV file.

#include <string>
#include <vector>

struct PairJob {
    std::string img;  ///< reference image path
    std::string cam;  ///< camera image path
    std::string img_canonical = {};  ///< img as canonical_path resolves it
    std::string cam_canonical = {};  ///< cam likewise
    std::string problem = {};  ///< why the pair cannot be aligned as listed (its error record)
};

/// Why a pair cannot be aligned: its listing's problem, or a link that
/// leads nowhere (see unresolvable_link); empty when neither. pairfit-batch
/// refuses such a pair before aligning it, on its own threads and on an
/// outside engine alike.
std::string pair_problem(const PairJob& job);

/// Every NAME.jpg in `dir` (not its subfolders; also NAME.JPG, NAME.jpeg)
/// with its camera image NAME.png (or NAME.PNG); sorted by name. pairfit's
/// own outputs (NAME_aligned.jpg) are not references. A link that leads
/// nowhere is listed, so that its pair is reported.
std::vector<PairJob> pairs_in_folder(const std::string& dir);

/// The rows of a CSV file with a header naming the columns `img` and `cam`
/// (in any order, other columns ignored). Relative paths are taken relative
/// to the CSV file's folder; a UTF-8 byte-order mark is skipped. A field
/// holding a NUL byte (which no file name holds) gives its pair a problem,
/// the byte shown as \x00. Throws std::runtime_error naming the file and its
/// physical line for a missing column, and for a file that cannot be read
/// or is not a regular file.
std::vector<PairJob> pairs_in_csv(const std::string& csv_path);
