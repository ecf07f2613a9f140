#include "synthetic_pair.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

const cv::Scalar kPaper(228, 234, 238);
const cv::Scalar kDesk(52, 60, 72);
const cv::Scalar kInk(35, 30, 28);
const cv::Scalar kNavy(80, 40, 35);
const cv::Scalar kRed(40, 45, 205);

void draw_text_block(cv::Mat& img, cv::RNG& rng, cv::Rect area, double unit) {
    static const char* const words[] = {"BATCH", "LOT", "EXP", "2026", "PAIRFIT", "NET", "500ml",
                                        "STORE", "COOL", "DRY", "REF", "A-17", "QC", "PASS"};
    int y = area.y + static_cast<int>(60 * unit);
    while (y < area.y + area.height) {
        int x = area.x;
        while (x < area.x + area.width - 300 * unit) {
            const std::string word = words[rng.uniform(0, 14)];
            cv::putText(img, word, cv::Point(x, y), cv::FONT_HERSHEY_SIMPLEX, 2.0 * unit, kInk,
                        std::max(2, static_cast<int>(6 * unit)), cv::LINE_AA);
            x += static_cast<int>((word.size() * 45 + 40) * unit);
        }
        y += static_cast<int>(rng.uniform(80, 110) * unit);
    }
}

void draw_bar_code(cv::Mat& img, cv::RNG& rng, cv::Rect area) {
    int x = area.x;
    while (x < area.x + area.width) {
        const int w = rng.uniform(area.width / 120 + 1, area.width / 40 + 2);
        if (rng.uniform(0, 2)) cv::rectangle(img, cv::Rect(x, area.y, w, area.height), kInk, cv::FILLED);
        x += w;
    }
}

void draw_photo(cv::Mat& img, cv::RNG& rng, cv::Rect area) {
    cv::Mat small(6, 8, CV_8UC3);
    rng.fill(small, cv::RNG::UNIFORM, 20, 235);
    cv::Mat big;
    cv::resize(small, big, area.size(), 0, 0, cv::INTER_CUBIC);
    big.copyTo(img(area));
}

}  // namespace

cv::Mat make_label(int width, int height, unsigned seed) {
    cv::RNG rng(seed);
    cv::Mat img(height, width, CV_8UC3, kPaper);
    const double unit = width / 1000.0;
    const int margin = static_cast<int>(40 * unit);
    cv::rectangle(img, cv::Rect(margin, margin, width - 2 * margin, static_cast<int>(120 * unit)),
                  kNavy, cv::FILLED);
    cv::putText(img, "PAIRFIT LABS", cv::Point(margin + static_cast<int>(30 * unit), margin + static_cast<int>(90 * unit)),
                cv::FONT_HERSHEY_DUPLEX, 3.0 * unit, cv::Scalar(235, 235, 235),
                std::max(2, static_cast<int>(8 * unit)), cv::LINE_AA);
    draw_text_block(img, rng, cv::Rect(margin, margin + static_cast<int>(160 * unit), width / 2,
                                       height / 2 - margin), unit);
    draw_photo(img, rng, cv::Rect(width / 2 + 2 * margin, margin + static_cast<int>(180 * unit),
                                  width / 2 - 3 * margin, height / 2 - 2 * margin));
    const cv::Point logo(width / 6, height * 3 / 4);
    cv::circle(img, logo, static_cast<int>(110 * unit), kRed, cv::FILLED, cv::LINE_AA);
    cv::circle(img, logo, static_cast<int>(55 * unit), kInk, cv::FILLED, cv::LINE_AA);
    draw_bar_code(img, rng, cv::Rect(width * 2 / 5, height * 2 / 3, width / 2, height / 4));
    return img;
}

cv::Mat make_sparse_label(int width, int height, unsigned seed) {
    cv::RNG rng(seed);
    cv::Mat img(height, width, CV_8UC3, cv::Scalar(250, 250, 250));
    const double unit = width / 1000.0;
    const int thin = std::max(1, static_cast<int>(2 * unit));
    cv::rectangle(img, cv::Rect(static_cast<int>(30 * unit), static_cast<int>(30 * unit),
                                width - static_cast<int>(60 * unit), height - static_cast<int>(60 * unit)),
                  kInk, thin);
    static const char* const lines[] = {"NET WT 250 g", "LOT A-4471", "BEST BEFORE 09/2027", "MADE IN EU",
                                        "KEEP DRY", "REF 100-22"};
    for (int k = 0; k < 5; ++k) {
        const cv::Point at(rng.uniform(60, width / 2), rng.uniform(static_cast<int>(90 * unit), height - 40));
        cv::putText(img, lines[rng.uniform(0, 6)], at, cv::FONT_HERSHEY_SIMPLEX, 0.9 * unit, kInk, thin,
                    cv::LINE_AA);
    }
    return img;
}

cv::Mat make_grid(int width, int height, unsigned seed) {
    cv::RNG rng(seed);
    cv::Mat img(height, width, CV_8UC3, kPaper);
    const double unit = width / 1000.0;
    const int cell = static_cast<int>(rng.uniform(60, 90) * unit);
    const int thin = std::max(1, static_cast<int>(2 * unit));
    for (int y = cell / 2; y + cell < height; y += cell) {
        for (int x = cell / 2; x + cell < width; x += cell) {
            cv::rectangle(img, cv::Rect(x, y, cell, cell), kNavy, thin);
            cv::circle(img, cv::Point(x + cell / 2, y + cell / 2), cell / 5, kRed, cv::FILLED, cv::LINE_AA);
            cv::line(img, cv::Point(x + cell / 4, y + cell * 3 / 4), cv::Point(x + cell * 3 / 4, y + cell * 3 / 4),
                     kInk, thin);
            // Each cell numbered, as on a sheet of stickers or a well plate.
            cv::putText(img, std::to_string(rng.uniform(1, 100)), cv::Point(x + cell / 12, y + cell / 3),
                        cv::FONT_HERSHEY_SIMPLEX, cell / 150.0, kInk, thin, cv::LINE_AA);
        }
    }
    cv::putText(img, "SHEET 7", cv::Point(cell / 2, cell / 3 + 10), cv::FONT_HERSHEY_SIMPLEX, 0.7 * unit, kInk, thin,
                cv::LINE_AA);
    return img;
}

cv::Mat photograph_label(const cv::Mat& label, const SyntheticShot& shot, unsigned seed) {
    cv::RNG rng(seed);
    const cv::Mat m = (cv::Mat_<double>(2, 3) << shot.s, 0, shot.t_x, 0, shot.s, shot.t_y);
    cv::Mat canvas;
    cv::warpAffine(label, canvas, m, label.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, kDesk);
    cv::GaussianBlur(canvas, canvas, cv::Size(), shot.blur);
    // Uneven light, brighter towards the upper left, and a warm cast.
    cv::Mat light(canvas.size(), CV_32FC3);
    for (int y = 0; y < light.rows; ++y) {
        for (int x = 0; x < light.cols; ++x) {
            const float f = 1.0f - 0.12f * (static_cast<float>(x) / light.cols + static_cast<float>(y) / light.rows) / 2;
            light.at<cv::Vec3f>(y, x) = cv::Vec3f(0.96f * f, 1.0f * f, 1.03f * f);
        }
    }
    cv::Mat shot_f;
    canvas.convertTo(shot_f, CV_32FC3);
    shot_f = shot_f.mul(light);
    cv::Mat noise(canvas.size(), CV_32FC3);
    rng.fill(noise, cv::RNG::NORMAL, 0, shot.noise);
    shot_f += noise;
    cv::Mat out;
    shot_f.convertTo(out, CV_8UC3);
    return out;
}

void write_pair(const std::string& dir, int width, int height, unsigned seed) {
    const cv::Mat label = make_label(width, height, seed);
    const std::vector<int> quality = {cv::IMWRITE_JPEG_QUALITY, 90};
    cv::imwrite(dir + "/label.jpg", label, quality);
    cv::imwrite(dir + "/label_shot.jpg", photograph_label(label, SyntheticShot(), seed), quality);
}

cv::Matx33d similarity(double degrees, double s) {
    const double a = degrees * CV_PI / 180;
    return cv::Matx33d(s * std::cos(a), -s * std::sin(a), 0, s * std::sin(a), s * std::cos(a), 0, 0, 0, 1);
}

cv::Point2d mapped(const cv::Matx33d& m, cv::Point2d p) {
    const cv::Vec3d v = m * cv::Vec3d(p.x, p.y, 1);
    return {v[0] / v[2], v[1] / v[2]};
}

cv::Matx33d tilt(cv::Size ref, double reach, cv::RNG& rng) {
    const double longer = std::max(ref.width, ref.height);
    const std::vector<cv::Point2f> from = {{0, 0}, {static_cast<float>(ref.width), 0},
                                           {static_cast<float>(ref.width), static_cast<float>(ref.height)},
                                           {0, static_cast<float>(ref.height)}};
    std::vector<cv::Point2f> to;
    for (const cv::Point2f p : from) {
        const double a = rng.uniform(0.0, 2 * CV_PI), r = rng.uniform(0.5, 1.0) * reach * longer;
        to.emplace_back(p.x + static_cast<float>(r * std::cos(a)), p.y + static_cast<float>(r * std::sin(a)));
    }
    return cv::Matx33d(cv::getPerspectiveTransform(from, to).ptr<double>());
}

double median(std::vector<double> v) {
    if (v.empty()) return std::nan("");
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
