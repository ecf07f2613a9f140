#pragma once
// The batch report: JSON Lines, one record per pair as it finishes.

#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct PairResult {
    std::string img;
    std::string cam;
    std::string outcome;  ///< "aligned", "missing", "special" or "error"
    double score = 0, theta = 0, s = 0, t_x = 0, t_y = 0;
    std::string error;    ///< the message of an "error" outcome, empty otherwise
    double seconds = 0;
    std::string method;   ///< with --refine: the estimate that won; otherwise empty
};

/// One line of the report (no newline).
std::string to_json_line(const PairResult& result);

/// Every complete record of a report; a torn last line (an interrupted
/// write) and lines that are not records are skipped.
std::vector<PairResult> read_report(const std::string& path);

/// The (img, cam) pairs a report already holds.
std::set<std::pair<std::string, std::string>> pairs_in_report(const std::string& path);

/// Appends records from several threads, each line flushed as it is written
/// so that an interrupted run loses nothing.
class ReportWriter {
public:
    /// Opens `path`, keeping what it holds when `append`, else starting it anew.
    /// Throws std::runtime_error naming the path when it cannot be opened.
    ReportWriter(const std::string& path, bool append);
    void write(const PairResult& result);

private:
    std::mutex mutex_;
    std::ofstream out_;
};
