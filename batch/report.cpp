#include "report.h"

#include <cmath>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "json_bytes.h"
#include "paths.h"
#include "pairfit/outcome.h"
#include "pairfit/precise.h"

using json = nlohmann::ordered_json;

namespace {

// The five numbers in the order of pairfit::kNumberKeys.
template <class Record>
auto numbers_of(Record& r) -> std::array<decltype(&r.score), 5> { return {&r.score, &r.theta, &r.s, &r.t_x, &r.t_y}; }

std::string canonical_fields(const PairResult& r) {
    if (r.img_canonical.empty() && r.cam_canonical.empty()) return "";
    return ",\"img_canonical\":" + json_string_keeping_bytes(r.img_canonical) +
           ",\"cam_canonical\":" + json_string_keeping_bytes(r.cam_canonical);
}

// The field compactly: its grid, and the displacements as flat lists (row
// by row) in hundredths of a pixel, a few hundred short numbers.
json field_record(const std::vector<double>& f) {
    const auto rounded = [](double v) { return std::round(v * 100) / 100; };
    const std::size_t count = static_cast<std::size_t>(f[3] * f[4]);
    json dx = json::array(), dy = json::array();
    for (std::size_t k = 0; k < count && 5 + count + k < f.size(); ++k) {
        dx.push_back(rounded(f[5 + k]));
        dy.push_back(rounded(f[5 + count + k]));
    }
    return json{{"origin", {f[0], f[1]}}, {"spacing", f[2]}, {"shape", {static_cast<int>(f[3]), static_cast<int>(f[4])}},
                {"dx", dx}, {"dy", dy}};
}

double number_or_zero(const json& value) { return value.is_number() ? value.get<double>() : 0.0; }

// dx or dy appended row by row, from a list of rows (as pairfit.align gives
// them) or one flat list (as the report keeps them); false for anything else.
bool append_displacements(const json& values, std::vector<double>& flat, bool in_row = false) {
    if (!values.is_array()) return false;
    for (const json& value : values) {
        if (!value.is_array()) {
            flat.push_back(number_or_zero(value));
        } else if (in_row || !append_displacements(value, flat, true)) {
            return false;
        }
    }
    return true;
}

// A field of a result or a record in PairResult's flat form; empty when it
// is not a whole field: its shape must account for every displacement.
std::vector<double> flat_field_of(const json& field) {
    if (!field.is_object() || !field.contains("origin") || !field.contains("shape")) return {};
    const json& origin = field["origin"];
    const json& shape = field["shape"];
    if (!origin.is_array() || origin.size() != 2 || !shape.is_array() || shape.size() != 2) return {};
    std::vector<double> flat = {number_or_zero(origin[0]), number_or_zero(origin[1]),
                                number_at(field, "spacing"), number_or_zero(shape[0]),
                                number_or_zero(shape[1])};
    for (const char* key : {"dx", "dy"}) {
        if (!append_displacements(field.value(key, json::array()), flat)) return {};
    }
    const double rows = flat[3], cols = flat[4];
    const bool whole = rows >= 0 && cols >= 0 && flat.size() == 5 + 2 * rows * cols;
    return whole ? flat : std::vector<double>();
}

}  // namespace

double number_at(const json& object, const char* key) {
    const auto value = object.find(key);
    return value != object.end() && value->is_number() ? value->get<double>() : 0.0;
}

std::string string_at(const json& object, const char* key) {
    const auto value = object.find(key);
    return value != object.end() && value->is_string() ? restore_escaped_bytes(value->get<std::string>()) : "";
}

PairResult record_for(const PairJob& job) {
    PairResult r;
    r.img = job.img;
    r.cam = job.cam;
    r.img_canonical = job.img_canonical;
    r.cam_canonical = job.cam_canonical;
    return r;
}

void record_numbers(const SimMat& m, PairResult& r) {
    r.outcome = pairfit::outcome_name(pairfit::outcome_of(m));
    const auto from = numbers_of(m);
    const auto to = numbers_of(r);
    for (std::size_t k = 0; k < to.size(); ++k) *to[k] = *from[k];
}

bool is_suspect(const PairResult& r) {
    return !r.method.empty() && r.outcome == "aligned" && r.correlation < pairfit::kPairCorrelation;
}

bool is_misaligned(const PairResult& r) {
    return !r.method.empty() && r.outcome == "aligned" && r.misalignment_px > kMisalignedPx && !is_suspect(r);
}

void read_precise_fields(const json& record, PairResult& r) {
    const auto method = record.find("method");
    if (method != record.end() && method->is_string()) r.method = method->get<std::string>();
    r.correlation = number_at(record, "correlation");
    const auto misalignment = record.find("misalignment_px");
    if (misalignment != record.end() && misalignment->is_number()) r.misalignment_px = misalignment->get<double>();
    const auto matrix = record.find("matrix");
    if (matrix != record.end() && matrix->is_array()) {
        for (const json& row : *matrix) {
            if (!row.is_array()) continue;
            for (const json& v : row) r.matrix.push_back(number_or_zero(v));
        }
    }
    if (record.contains("field")) r.field = flat_field_of(record["field"]);
}

std::string to_json_line(const PairResult& r) {
    json record = json{{"img", r.img}, {"cam", r.cam}, {"outcome", r.outcome}};
    const auto numbers = numbers_of(r);
    for (std::size_t k = 0; k < numbers.size(); ++k) record[pairfit::kNumberKeys[k]] = *numbers[k];
    record["error"] = r.error.empty() ? json(nullptr) : json(r.error);
    record["seconds"] = r.seconds;
    if (!r.method.empty()) {
        record["method"] = r.method;
        record["matrix"] = json::array();
        for (std::size_t row = 0; row + 2 < r.matrix.size(); row += 3) {
            record["matrix"].push_back({r.matrix[row], r.matrix[row + 1], r.matrix[row + 2]});
        }
        record["correlation"] = r.correlation;
        if (r.field.size() > 5) record["field"] = field_record(r.field);
        record["misalignment_px"] = std::isnan(r.misalignment_px) ? json(nullptr) : json(r.misalignment_px);
    }
    // Paths are bytes; a name that is not UTF-8 is written with replacement
    // characters rather than failing the whole run.
    std::string line = record.dump(-1, ' ', false, json::error_handler_t::replace);
    line.insert(line.size() - 1, canonical_fields(r));
    return line;
}

namespace {

// A field that is there must have its type: a record with "score":null or
// "seconds":"1" was not written by pairfit and cannot be trusted.
bool fields_have_their_types(const json& record) {
    const auto has = [&record](const char* key, bool (json::*is_type)() const noexcept) {
        const auto field = record.find(key);
        return field == record.end() || ((*field).*is_type)();
    };
    for (const char* key : pairfit::kNumberKeys) {
        if (!has(key, &json::is_number)) return false;
    }
    return has("seconds", &json::is_number) && has("correlation", &json::is_number) &&
           has("outcome", &json::is_string) && has("method", &json::is_string);
}

bool parse_record(const std::string& line, PairResult& r) {
    const json record = json::parse(readable_json(line), nullptr, false);
    if (record.is_discarded() || !record.is_object() || !record.contains("img") ||
        !record.contains("cam") || !record["img"].is_string() || !record["cam"].is_string() ||
        !fields_have_their_types(record)) {
        return false;
    }
    r.img = string_at(record, "img");
    r.cam = string_at(record, "cam");
    r.outcome = record.value("outcome", "");
    const auto numbers = numbers_of(r);
    for (std::size_t k = 0; k < numbers.size(); ++k) *numbers[k] = record.value(pairfit::kNumberKeys[k], 0.0);
    const auto error = record.find("error");
    r.error = error != record.end() && error->is_string() ? error->get<std::string>() : "";
    r.seconds = record.value("seconds", 0.0);
    read_precise_fields(record, r);
    // A field must be whole, as the other fields must have their types.
    if (record.contains("field") && r.field.empty()) return false;
    r.img_canonical = string_at(record, "img_canonical");
    r.cam_canonical = string_at(record, "cam_canonical");
    return true;
}

bool is_regular_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

ReportContents read_report(const std::string& path) {
    ReportContents contents;
    if (!is_regular_file(path)) return contents;
    std::ifstream in(path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        PairResult r;
        if (parse_record(line, r)) {
            contents.records.push_back(r);
        } else if (!line.empty()) {
            contents.unreadable_lines.push_back(number);
        }
    }
    return contents;
}

std::set<std::pair<std::string, std::string>> pairs_in_report(const std::vector<PairResult>& records) {
    std::set<std::pair<std::string, std::string>> done;
    for (const PairResult& r : records) {
        done.insert({r.img_canonical.empty() ? canonical_path(r.img) : r.img_canonical,
                     r.cam_canonical.empty() ? canonical_path(r.cam) : r.cam_canonical});
    }
    return done;
}

namespace {

std::string cannot_write_report(const std::string& path, const std::string& reason) {
    return "cannot write the report '" + path + "': " + reason;
}

// The process holding a lock on the open file `fd`, from /proc/locks
// (flock names no holder itself); 0 when it cannot be found.
long lock_holder(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    FILE* locks = std::fopen("/proc/locks", "r");
    if (locks == nullptr) return 0;
    char line[256];
    long holder = 0;
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16] = {};
        long pid = 0;
        unsigned int major_id = 0, minor_id = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &pid, &major_id, &minor_id,
                        &inode) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && inode == st.st_ino && major_id == major(st.st_dev) &&
            minor_id == minor(st.st_dev)) {
            holder = pid;
        }
    }
    std::fclose(locks);
    return holder;
}

std::string report_in_use(const std::string& path, long holder) {
    const std::string who = holder > 0 ? "process " + std::to_string(holder) : "another process";
    return "the report '" + path + "' is in use by another run (" + who +
           "); wait for it to end, or give another report with -r";
}

std::string unopenable_report(const std::string& path, int error) {
    struct stat st;
    if (error == ELOOP && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        return "the report '" + path + "' is a symbolic link; pairfit-batch writes no file through "
               "a link: remove it, or give the file it leads to with -r";
    }
    if (error == ENXIO) return "the report '" + path + "' is not a regular file (a FIFO); give a file with -r";
    return cannot_write_report(path, std::strerror(error));
}

// A report is a regular file, or a device such as /dev/null; a FIFO or a
// socket would block the run or take its records away.
std::string unsuitable_report(int fd, const std::string& path) {
    struct stat st;
    if (fstat(fd, &st) != 0) return cannot_write_report(path, std::strerror(errno));
    if (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode)) return "";
    const char* kind = S_ISFIFO(st.st_mode) ? "a FIFO" : S_ISSOCK(st.st_mode) ? "a socket" : "not a file";
    return "the report '" + path + "' is not a regular file (" + kind + "); give a file with -r";
}

}  // namespace

ReportWriter::ReportWriter(const std::string& path) : path_(path) {
    // Never through a link: one planted in the output folder would have the
    // report appended to, or --overwrite empty, a file elsewhere. Without
    // waiting: opening a FIFO would block until someone reads it.
    fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd_ < 0) throw std::runtime_error(unopenable_report(path, errno));
    std::string problem = unsuitable_report(fd_, path);
    if (problem.empty() && fcntl(fd_, F_SETFL, O_APPEND) != 0) {
        problem = cannot_write_report(path, std::strerror(errno));
    }
    // A file system without locks (ENOLCK, EINVAL) is written unlocked.
    if (problem.empty() && flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        problem = report_in_use(path, lock_holder(fd_));
    }
    if (!problem.empty()) {
        ::close(fd_);
        throw std::runtime_error(problem);
    }
}

ReportWriter::~ReportWriter() {
    if (fd_ >= 0) ::close(fd_);
}

bool ReportWriter::holds_records() const {
    struct stat st;
    return fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

void ReportWriter::start_anew() {
    struct stat st;
    if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd_, 0) != 0) {
        throw std::runtime_error(cannot_write_report(path_, std::strerror(errno)));
    }
}

void ReportWriter::end_torn_line() {
    std::ifstream in(path_, std::ios::binary | std::ios::ate);
    if (!is_regular_file(path_) || !in || in.tellg() <= 0) return;
    in.seekg(-1, std::ios::end);
    if (in.get() != '\n') append("\n");
}

bool ReportWriter::write(const PairResult& result) {
    const std::string line = to_json_line(result) + '\n';
    const std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return false;
    // Records written into a deleted report would be lost with it.
    struct stat st;
    if (fstat(fd_, &st) == 0 && st.st_nlink == 0) {
        fail("it was deleted during the run");
        return false;
    }
    append(line);
    return !failed_;
}

void ReportWriter::append(const std::string& text) {
    struct stat before;
    const bool regular = fstat(fd_, &before) == 0 && S_ISREG(before.st_mode);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fail(n < 0 ? std::strerror(errno) : "it takes no more bytes");
            // The report keeps whole lines only, so that it can be resumed.
            if (done > 0 && !(regular && ftruncate(fd_, before.st_size) == 0)) {
                failure_ += " (its last line is incomplete)";
            }
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void ReportWriter::fail(const std::string& reason) {
    if (failed_) return;
    failure_ = cannot_write_report(path_, reason);
    failed_ = true;
}

std::string ReportWriter::close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0 && ::close(fd_) != 0) fail(std::strerror(errno));
    fd_ = -1;
    return failure_;
}
