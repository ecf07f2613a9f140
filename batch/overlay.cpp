#include "overlay.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "errors.h"
#include "pairfit/precise.h"
#include "utf8_text.h"
#include "utils.h"

namespace fs = std::filesystem;

namespace {

const cv::Vec3b kOutline(255, 0, 255);  // magenta: rare in prints and photos alike
// Every page begins its title so: a later run knows its own page from a
// user's file of the same name.
const char* const kPageTitle = "pairfit batch: ";

std::string escape_html(const std::string& text) {
    std::string out;
    for (const char c : printable(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

// Percent-encodes what a URL path may not hold as it is.
std::string url_path(const std::string& path) {
    std::string out;
    for (const unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char buffer[4];
            std::snprintf(buffer, sizeof buffer, "%%%02X", c);
            out += buffer;
        }
    }
    return out;
}

std::string number(double v, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
    return buffer;
}

// The aligned camera crop with the outline of the aligned reference's dark
// areas drawn over it in magenta. Both crops have the same size.
cv::Mat overlay_image(const cv::Mat& reference_crop, const cv::Mat& camera_crop) {
    CV_Assert(reference_crop.size() == camera_crop.size() && camera_crop.type() == CV_8UC3);
    cv::Mat hsv, value, dark;
    cv::cvtColor(reference_crop, hsv, cv::COLOR_BGR2HSV);
    cv::extractChannel(hsv, value, 2);
    cv::threshold(value, dark, 0, 255, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
    cv::Mat outline;
    cv::morphologyEx(dark, outline, cv::MORPH_GRADIENT, cv::getStructuringElement(cv::MORPH_RECT, {3, 3}));
    cv::Mat picture = camera_crop.clone();
    picture.setTo(cv::Scalar(kOutline[0], kOutline[1], kOutline[2]), outline);
    return picture;
}

}  // namespace

std::string overlay_path(const std::string& output_dir, const std::string& img_path) {
    return output_folder_for(output_dir, img_path) + "/" + stem_of(img_path) + "_overlay.png";
}

void write_overlay(const std::string& output_dir, const PairResult& result) {
    const auto [reference_path, camera_path] = aligned_file_paths(output_dir, result.img, result.cam);
    const cv::Mat reference = cv::imread(reference_path, cv::IMREAD_COLOR);
    const cv::Mat camera = cv::imread(camera_path, cv::IMREAD_COLOR);
    const std::string path = overlay_path(output_dir, result.img);
    if (reference.empty() || camera.empty() || reference.size() != camera.size()) {
        throw pairfit::FileError("cannot write '" + path + "': its crops '" + reference_path +
                                 "' and '" + camera_path + "' cannot be read back");
    }
    std::vector<uchar> png;
    if (!cv::imencode(".png", overlay_image(reference, camera), png)) {
        throw pairfit::FileError("cannot write '" + path + "': OpenCV cannot encode it as PNG");
    }
    save_file(path, std::string(png.begin(), png.end()));
}

void write_index_html(const std::string& path, std::vector<PairResult> results,
                      const std::string& output_dir) {
    std::stable_sort(results.begin(), results.end(),
                     [](const PairResult& a, const PairResult& b) { return a.score < b.score; });
    const fs::path page_dir = fs::absolute(fs::path(path)).parent_path();
    std::ostringstream html;
    html << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
            "<title>" << kPageTitle << results.size() << " pairs</title>\n"
            "<style>body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
            "td,th{border:1px solid #ccc;padding:4px 8px;text-align:left;vertical-align:middle}"
            "img{width:200px;height:200px;object-fit:contain;background:#eee}"
            ".error,.missing,.special,.suspect,.misaligned{color:#a00}</style></head><body>\n"
            "<h1>pairfit batch: " << results.size() << " pairs, worst score first</h1>\n";
    const auto suspects = std::count_if(results.begin(), results.end(), is_suspect);
    if (suspects > 0) {
        html << "<p class=\"suspect\">" << suspects << " suspect pairs: their correlation is below "
             << number(pairfit::kPairCorrelation, 2) << ", the camera image may show another subject.</p>\n";
    }
    const auto misaligned = std::count_if(results.begin(), results.end(), is_misaligned);
    if (misaligned > 0) {
        html << "<p class=\"misaligned\">" << misaligned << " misaligned pairs: their crops are still more than "
             << number(kMisalignedPx, 0) << " px apart.</p>\n";
    }
    const bool precise = std::any_of(results.begin(), results.end(),
                                     [](const PairResult& r) { return !r.method.empty(); });
    html << "<table><thead><tr><th>overlay</th><th>reference</th><th>camera</th><th>outcome</th>"
            "<th>score</th><th>s</th><th>t_x</th><th>t_y</th>"
         << (precise ? "<th>method</th><th>correlation</th><th>misalignment (px)</th>" : "") << "<th>error</th></tr></thead><tbody>\n";
    for (const PairResult& r : results) {
        const fs::path overlay = overlay_path(output_dir, r.img);
        std::string outcome = is_suspect(r) ? r.outcome + " suspect" : r.outcome;
        if (is_misaligned(r)) outcome += " misaligned";
        html << "<tr class=\"" << escape_html(outcome) << "\"><td>";
        if (r.outcome == "aligned" && fs::exists(overlay)) {
            const std::string relative = fs::relative(fs::absolute(overlay), page_dir).string();
            html << "<a href=\"" << url_path(relative) << "\"><img loading=\"eager\" alt=\"overlay of "
                 << escape_html(stem_of(r.img)) << "\" src=\"" << url_path(relative) << "\"></a>";
        }
        html << "</td><td>" << escape_html(r.img) << "</td><td>" << escape_html(r.cam) << "</td><td>"
             << escape_html(outcome) << "</td><td>" << number(r.score, 4) << "</td><td>"
             << number(r.s, 2) << "</td><td>" << number(r.t_x, 1) << "</td><td>" << number(r.t_y, 1)
             << "</td><td>";
        if (precise) {
            html << escape_html(r.method) << "</td><td>"
                 << (r.method.empty() ? "" : number(r.correlation, 3)) << "</td><td>"
                 << (std::isnan(r.misalignment_px) ? "" : number(r.misalignment_px, 2)) << "</td><td>";
        }
        html << escape_html(r.error) << "</td></tr>\n";
    }
    // Marks each thumbnail once it has loaded (or failed), for a glance at
    // missing files and for automated checks of the page.
    html << "</tbody></table>\n<script>\nfor (const img of document.querySelectorAll('img')) {\n"
            "  const mark = () => { img.dataset.state = img.naturalWidth > 0 ? 'loaded' : 'broken'; };\n"
            "  if (img.complete) mark(); else { img.addEventListener('load', mark); "
            "img.addEventListener('error', mark); }\n}\n</script>\n</body></html>\n";
    save_file(path, html.str());
}

bool is_foreign_page(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::ifstream page(path, std::ios::binary);
    std::string start(512, '\0');
    page.read(start.data(), static_cast<std::streamsize>(start.size()));
    start.resize(static_cast<std::size_t>(page.gcount()));
    return start.find("<title>" + std::string(kPageTitle)) == std::string::npos;
}
