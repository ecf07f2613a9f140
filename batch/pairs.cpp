#include "pairs.h"

#include <csv.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "utils.h"

namespace fs = std::filesystem;

std::vector<PairJob> pairs_in_folder(const std::string& dir) {
    std::vector<PairJob> pairs;
    const auto ends_with = [](const std::string& text, const std::string& end) {
        return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
    };
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        // An earlier run that wrote beside the references left its aligned
        // references here too; they are outputs, not pairs.
        const bool is_reference = ends_with(name, ".jpg") && !ends_with(name, "_aligned.jpg");
        if (!is_reference || !entry.is_regular_file()) continue;
        const std::string img = entry.path().string();
        pairs.push_back({img, path_img2cam(img)});
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const PairJob& a, const PairJob& b) { return a.img < b.img; });
    return pairs;
}

namespace {

// Rows of fields as libcsv delivers them.
struct CsvRows {
    std::vector<std::vector<std::string>> rows{1};
    static void on_field(void* field, std::size_t size, void* self) {
        static_cast<CsvRows*>(self)->rows.back().emplace_back(static_cast<const char*>(field), size);
    }
    static void on_row_end(int, void* self) { static_cast<CsvRows*>(self)->rows.emplace_back(); }
};

std::vector<std::vector<std::string>> read_csv(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the pair list '" + path + "'");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    csv_parser parser;
    if (csv_init(&parser, CSV_APPEND_NULL) != 0) throw std::runtime_error("cannot start the CSV parser");
    CsvRows rows;
    const std::size_t parsed = csv_parse(&parser, text.data(), text.size(), CsvRows::on_field,
                                         CsvRows::on_row_end, &rows);
    const bool ok = parsed == text.size() &&
                    csv_fini(&parser, CsvRows::on_field, CsvRows::on_row_end, &rows) == 0;
    const std::string why = csv_strerror(csv_error(&parser));
    csv_free(&parser);
    if (!ok) throw std::runtime_error("cannot parse the pair list '" + path + "': " + why);
    rows.rows.pop_back();  // the row opened after the last row end
    return rows.rows;
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

}  // namespace

std::vector<PairJob> pairs_in_csv(const std::string& csv_path) {
    const std::vector<std::vector<std::string>> rows = read_csv(csv_path);
    if (rows.empty()) throw std::runtime_error("the pair list '" + csv_path + "' is empty");
    const int img_column = column_of(rows[0], "img", csv_path);
    const int cam_column = column_of(rows[0], "cam", csv_path);
    const fs::path folder = fs::path(csv_path).parent_path();
    std::vector<PairJob> pairs;
    for (std::size_t line = 1; line < rows.size(); ++line) {
        const std::vector<std::string>& row = rows[line];
        if (row.empty()) continue;
        if (static_cast<int>(row.size()) <= std::max(img_column, cam_column)) {
            throw std::runtime_error("line " + std::to_string(line + 1) + " of '" + csv_path +
                                     "' has " + std::to_string(row.size()) + " fields");
        }
        pairs.push_back({relative_to(folder, row[img_column]), relative_to(folder, row[cam_column])});
    }
    return pairs;
}
