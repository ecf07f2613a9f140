#include "pairs.h"

#include <csv.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "pairfit/core.h"
#include "paths.h"

namespace fs = std::filesystem;

namespace {

std::string lower_case(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// NAME followed by `extension`: a file called just ".jpg" is hidden, not an image.
bool named_with(const std::string& name, const std::string& extension) {
    return name.size() > extension.size() && pairfit::ends_with(name, extension);
}

// NAME.jpg, NAME.JPG, NAME.jpeg, ...; an earlier run that wrote beside the
// references left its aligned references here too: they are outputs.
bool has_reference_name(const std::string& name) {
    const std::string lower = lower_case(name);
    return (named_with(lower, ".jpg") || named_with(lower, ".jpeg")) && !pairfit::ends_with(name, "_aligned.jpg");
}

// A regular file, or a link that leads nowhere: the pair's record says why.
bool may_be_reference(const fs::directory_entry& entry) {
    std::error_code error;
    if (entry.is_regular_file(error)) return true;
    return entry.is_symlink(error) && !fs::exists(entry.status(error));
}

std::string stem_of_name(const std::string& name) { return name.substr(0, name.rfind('.')); }

// The camera image of each stem: NAME.png, or NAME.PNG when there is no
// NAME.png.
std::map<std::string, std::string> camera_names(const std::vector<std::string>& names) {
    std::map<std::string, std::string> cameras;
    for (const std::string& name : names) {
        if (!named_with(lower_case(name), ".png")) continue;
        const std::string stem = stem_of_name(name);
        if (!cameras.count(stem) || pairfit::ends_with(name, ".png")) cameras[stem] = name;
    }
    return cameras;
}

}  // namespace

std::string pair_problem(const PairJob& job) {
    if (!job.problem.empty()) return job.problem;
    const std::string img_problem = unresolvable_link(job.img);
    return img_problem.empty() ? unresolvable_link(job.cam) : img_problem;
}

std::vector<PairJob> pairs_in_folder(const std::string& dir) {
    std::vector<std::string> names;
    std::vector<std::string> references;
    const fs::path folder(dir);
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        names.push_back(name);
        if (has_reference_name(name) && may_be_reference(entry)) references.push_back(name);
    }
    const std::map<std::string, std::string> cameras = camera_names(names);
    std::vector<PairJob> pairs;
    for (const std::string& name : references) {
        const std::string stem = stem_of_name(name);
        const auto camera = cameras.find(stem);
        const std::string cam = camera != cameras.end() ? camera->second : stem + ".png";
        pairs.push_back({(folder / name).string(), (folder / cam).string()});
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const PairJob& a, const PairJob& b) { return a.img < b.img; });
    return pairs;
}

namespace {

// Rows of fields as libcsv delivers them, each with the physical line it
// starts on.
struct CsvRows {
    std::vector<std::vector<std::string>> rows{1};
    std::vector<int> lines{0};
    int line = 1;  ///< the line being parsed
    static void on_field(void* field, std::size_t size, void* self) {
        CsvRows& r = *static_cast<CsvRows*>(self);
        if (r.rows.back().empty()) r.lines.back() = r.line;
        r.rows.back().emplace_back(static_cast<const char*>(field), size);
    }
    static void on_row_end(int, void* self) {
        CsvRows& r = *static_cast<CsvRows*>(self);
        r.rows.emplace_back();
        r.lines.push_back(0);
    }
};

// Excel's "CSV UTF-8" starts with a byte-order mark.
std::string without_byte_order_mark(const std::string& text) {
    const std::string mark = "\xEF\xBB\xBF";
    return text.compare(0, mark.size(), mark) == 0 ? text.substr(mark.size()) : text;
}

std::string cannot_read_list(const std::string& path, const std::string& reason) {
    return "cannot read the pair list '" + path + "': " + reason;
}

// Opened without waiting and read only when it is a regular file: a FIFO
// or a terminal would block the run before it starts.
std::string file_text(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(cannot_read_list(path, std::strerror(errno)));
    struct stat st;
    std::string text;
    std::string problem = fstat(fd, &st) != 0 ? std::strerror(errno)
                          : !S_ISREG(st.st_mode) ? "it is not a regular file" : "";
    char buffer[65536];
    while (problem.empty()) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            problem = std::strerror(errno);
        }
    }
    close(fd);
    if (!problem.empty()) throw std::runtime_error(cannot_read_list(path, problem));
    return text;
}

// Fed a line at a time, so that each row knows its line.
bool parse_lines(csv_parser& parser, const std::string& text, CsvRows& rows) {
    for (std::size_t start = 0; start < text.size(); ++rows.line) {
        const std::size_t newline = text.find('\n', start);
        const std::size_t end = newline == std::string::npos ? text.size() : newline + 1;
        if (csv_parse(&parser, text.data() + start, end - start, CsvRows::on_field,
                      CsvRows::on_row_end, &rows) != end - start) {
            return false;
        }
        start = end;
    }
    return csv_fini(&parser, CsvRows::on_field, CsvRows::on_row_end, &rows) == 0;
}

CsvRows read_csv(const std::string& path) {
    const std::string text = without_byte_order_mark(file_text(path));
    csv_parser parser;
    if (csv_init(&parser, CSV_APPEND_NULL) != 0) throw std::runtime_error("cannot start the CSV parser");
    CsvRows rows;
    const bool ok = parse_lines(parser, text, rows);
    const std::string why = csv_strerror(csv_error(&parser));
    csv_free(&parser);
    if (!ok) throw std::runtime_error("cannot parse the pair list '" + path + "': " + why);
    rows.rows.pop_back();  // the row opened after the last row end
    rows.lines.pop_back();
    return rows;
}

int column_of(const std::vector<std::string>& header, const std::string& name,
              const std::string& path) {
    const auto it = std::find(header.begin(), header.end(), name);
    if (it == header.end()) {
        throw std::runtime_error("the pair list '" + path + "' has no column '" + name +
                                 "' in its first line (it needs img and cam)");
    }
    return static_cast<int>(it - header.begin());
}

std::string relative_to(const fs::path& folder, const std::string& path) {
    const fs::path p(path);
    return p.is_absolute() ? path : (folder / p).lexically_normal().string();
}

bool has_nul(const std::string& field) { return field.find('\0') != std::string::npos; }

// A NUL byte would end the name where the system reads it: shown instead.
std::string without_nul(const std::string& field) {
    std::string out;
    for (const char c : field) out += c == '\0' ? std::string("\\x00") : std::string(1, c);
    return out;
}

}  // namespace

std::vector<PairJob> pairs_in_csv(const std::string& csv_path) {
    const CsvRows csv = read_csv(csv_path);
    const std::vector<std::vector<std::string>>& rows = csv.rows;
    if (rows.empty()) throw std::runtime_error("the pair list '" + csv_path + "' is empty");
    const int img_column = column_of(rows[0], "img", csv_path);
    const int cam_column = column_of(rows[0], "cam", csv_path);
    const fs::path folder = fs::path(csv_path).parent_path();
    std::vector<PairJob> pairs;
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const std::vector<std::string>& row = rows[k];
        if (row.empty()) continue;
        if (static_cast<int>(row.size()) <= std::max(img_column, cam_column)) {
            throw std::runtime_error("line " + std::to_string(csv.lines[k]) + " of '" + csv_path +
                                     "' has " + std::to_string(row.size()) + " fields");
        }
        pairs.push_back({relative_to(folder, without_nul(row[img_column])),
                         relative_to(folder, without_nul(row[cam_column]))});
        if (has_nul(row[img_column]) || has_nul(row[cam_column])) {
            pairs.back().problem = "line " + std::to_string(csv.lines[k]) + " of '" + csv_path +
                                   "' holds a NUL byte in a file name, which no file name can hold";
        }
    }
    return pairs;
}
