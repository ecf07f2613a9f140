#include "report.h"

#include <array>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "pairfit/outcome.h"

using json = nlohmann::ordered_json;

namespace {

// The five numbers in the order of pairfit::kNumberKeys.
std::array<double*, 5> numbers_of(PairResult& r) { return {&r.score, &r.theta, &r.s, &r.t_x, &r.t_y}; }

}  // namespace

std::string to_json_line(const PairResult& result) {
    PairResult r = result;
    json record = json{{"img", r.img}, {"cam", r.cam}, {"outcome", r.outcome}};
    const std::array<double*, 5> numbers = numbers_of(r);
    for (std::size_t k = 0; k < numbers.size(); ++k) record[pairfit::kNumberKeys[k]] = *numbers[k];
    record["error"] = r.error.empty() ? json(nullptr) : json(r.error);
    record["seconds"] = r.seconds;
    if (!r.method.empty()) record["method"] = r.method;
    // Paths are bytes; a name that is not UTF-8 is written with replacement
    // characters rather than failing the whole run.
    return record.dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

bool parse_record(const std::string& line, PairResult& r) {
    const json record = json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object() || !record.contains("img") ||
        !record.contains("cam") || !record["img"].is_string() || !record["cam"].is_string()) {
        return false;
    }
    r.img = record["img"];
    r.cam = record["cam"];
    r.outcome = record.value("outcome", "");
    const std::array<double*, 5> numbers = numbers_of(r);
    for (std::size_t k = 0; k < numbers.size(); ++k) *numbers[k] = record.value(pairfit::kNumberKeys[k], 0.0);
    const auto error = record.find("error");
    r.error = error != record.end() && error->is_string() ? error->get<std::string>() : "";
    r.seconds = record.value("seconds", 0.0);
    r.method = record.value("method", "");
    return true;
}

}  // namespace

std::vector<PairResult> read_report(const std::string& path) {
    std::vector<PairResult> results;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        PairResult r;
        if (parse_record(line, r)) results.push_back(r);
    }
    return results;
}

std::set<std::pair<std::string, std::string>> pairs_in_report(const std::string& path) {
    std::set<std::pair<std::string, std::string>> done;
    for (const PairResult& r : read_report(path)) done.insert({r.img, r.cam});
    return done;
}

namespace {

// A run interrupted in the middle of a line leaves it without its newline;
// the next record must not be glued to it.
bool ends_without_newline(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() <= 0) return false;
    in.seekg(-1, std::ios::end);
    return in.get() != '\n';
}

}  // namespace

ReportWriter::ReportWriter(const std::string& path, bool append) {
    const bool torn = append && ends_without_newline(path);
    out_.open(path, append ? std::ios::app : std::ios::trunc);
    if (!out_) throw std::runtime_error("cannot write the report '" + path + "'");
    if (torn) out_ << '\n';
}

void ReportWriter::write(const PairResult& result) {
    const std::string line = to_json_line(result);
    const std::lock_guard<std::mutex> lock(mutex_);
    out_ << line << '\n';
    out_.flush();
}
