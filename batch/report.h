#pragma once
// The batch report: JSON Lines, one record per pair as it finishes.

#include <atomic>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "SimMat.h"
#include "pairs.h"

struct PairResult {
    std::string img;
    std::string cam;
    std::string outcome;  ///< "aligned", "missing", "special" or "error"
    double score = 0, theta = 0, s = 0, t_x = 0, t_y = 0;
    std::string error;    ///< the message of an "error" outcome, or which image of a "missing" one could not be read and why
    double seconds = 0;
    std::string method;   ///< with --refine: the estimate that won; otherwise empty
    std::vector<double> matrix;  ///< with --refine: the 3x3 map, row by row; otherwise empty
    double correlation = 0;      ///< with --refine: of the two aligned images over the square
    /// With --model deformable where its field was used: origin x, y,
    /// spacing, rows, cols, then dx and dy row by row (camera pixels);
    /// otherwise empty. The report rounds displacements to 1/100 px.
    std::vector<double> field;

    /// With --refine: how far apart the two crops still are (camera pixels);
    /// NaN where the square cannot tell, and without --refine.
    double misalignment_px = std::numeric_limits<double>::quiet_NaN();
    std::string img_canonical;  ///< img as the file system resolves it (see canonical_path)
    std::string cam_canonical;  ///< cam likewise; --resume compares these
};

/// A record of a job that names its pair, as given and as resolved.
PairResult record_for(const PairJob& job);

/// Sets a record's five numbers and the outcome they make.
void record_numbers(const SimMat& m, PairResult& r);

/// A precise record whose correlation is below the threshold of true pairs:
/// most likely the camera image shows something else.
bool is_suspect(const PairResult& result);

/// Above this many pixels apart, a pair's crops are listed as misaligned:
/// a planar map cannot lay the print over itself (a lens, a curved label).
inline constexpr double kMisalignedPx = 1.0;

/// A precise record whose crops are still more than kMisalignedPx apart (a
/// suspect pair is listed as such: its crops show different subjects).
bool is_misaligned(const PairResult& result);

/// The number at `key` of a JSON object; 0 when it is absent or not a number.
double number_at(const nlohmann::ordered_json& object, const char* key);

/// The string at `key` of an object read from readable_json's text (see
/// json_bytes.h), its bytes restored; "" when it is absent or not a string.
std::string string_at(const nlohmann::ordered_json& object, const char* key);

/// Takes what the precise entry adds ("method", "correlation",
/// "misalignment_px", "matrix", "field") from a record of the report or a
/// result of an engine: a number of the wrong type reads as 0, a field
/// that is not whole as none.
void read_precise_fields(const nlohmann::ordered_json& record, PairResult& r);

/// One line of the report (no newline). The canonical paths follow the other
/// fields, every byte kept (see json_bytes.h); "img" and "cam" show a name
/// that is not UTF-8 with replacement characters, as they always have.
std::string to_json_line(const PairResult& result);

struct ReportContents {
    std::vector<PairResult> records;
    std::vector<int> unreadable_lines;  ///< 1-based numbers of the lines skipped
};

/// Every complete record of a report (a regular file; nothing for any other).
/// A torn last line (an interrupted write), lines that are not records and
/// records whose fields have the wrong type ("score":null) or whose field is
/// not whole are skipped and their numbers kept, so that their pairs are
/// aligned again.
ReportContents read_report(const std::string& path);

/// The canonical (img, cam) pairs the records hold. Records without
/// canonical paths (earlier versions) are resolved from "img" and "cam";
/// relative ones from the current folder.
std::set<std::pair<std::string, std::string>> pairs_in_report(const std::vector<PairResult>& records);

/// Holds a report for one run: locked against other runs, each record
/// written whole with one system call, and the first failure to write kept
/// rather than thrown, so that the pairs in flight can finish.
class ReportWriter {
public:
    /// Opens `path`, creating it, and locks it. Throws std::runtime_error
    /// naming the report and the system's reason, or naming the process that
    /// holds it; also for a symbolic link (never followed) and for a file
    /// that is neither a regular file nor a device (a FIFO would block).
    explicit ReportWriter(const std::string& path);
    ~ReportWriter();
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    /// True when the report is a regular file with something in it.
    bool holds_records() const;
    /// Empties a regular file; other files (a device, a pipe) are left alone.
    void start_anew();
    /// Ends a last line torn by an interrupted run, so that the next record
    /// is not glued to it.
    void end_torn_line();
    /// Appends the record; false when it could not be written (also once
    /// the report was deleted: its records would be lost). After a
    /// failure, nothing more is written and a partly written line is taken
    /// back where the file allows it.
    bool write(const PairResult& result);
    bool failed() const { return failed_; }
    /// Closes the report; returns the first failure to write it
    /// ("cannot write the report '...': <reason>"), or "".
    std::string close();

private:
    void append(const std::string& text);
    void fail(const std::string& reason);

    std::string path_;
    int fd_ = -1;
    std::mutex mutex_;
    std::atomic<bool> failed_{false};
    std::string failure_;
};
