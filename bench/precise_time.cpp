// The precise entry's cost over the exact entry's on one pair, measured in
// one run: the three entries take turns, so that a busy machine slows all
// alike, and the medians and their ratios are printed.
//
//   pairfit_precise_time [repetitions] [reference camera [out_size]]
//
// Without a pair, the benchmarks' 4000x3000 JPEG pair is written and used;
// out_size is 600 unless given (scripts/accuracy aligns with 400).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "pairfit/precise.h"
#include "synthetic_pair.h"

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    char dir_template[] = "/tmp/pairfit-precise-time-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    std::string img = dir + "/label.jpg", cam = dir + "/label_shot.jpg";
    const int out_size = argc > 4 ? std::atoi(argv[4]) : 600;
    if (argc > 3) {
        img = argv[2];
        cam = argv[3];
    } else {
        write_pair(dir, 4000, 3000, 7);
    }
    struct Entry {
        const char* name;
        pairfit::PreciseOptions options;
        std::vector<double> ms;
        std::string method;
    };
    std::vector<Entry> entries = {{"exact", {false, pairfit::Model::similarity}, {}, ""},
                                  {"similarity", {true, pairfit::Model::similarity}, {}, ""},
                                  {"homography", {true, pairfit::Model::homography}, {}, ""},
                                  {"deformable", {true, pairfit::Model::deformable}, {}, ""}};
    for (int k = 0; k <= repetitions; ++k) {
        for (Entry& e : entries) {
            pairfit::AlignRequest request(img, cam, dir, out_size, true);
            const auto start = std::chrono::steady_clock::now();
            const pairfit::PreciseResult r = pairfit::align_precise(request, e.options);
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            if (k > 0) e.ms.push_back(ms);  // the first round warms the caches up
            e.method = r.method;
        }
    }
    const double exact = median(entries[0].ms);
    std::printf("median of %d runs on %s\n", repetitions, img.c_str());
    for (const Entry& e : entries) {
        const double m = median(e.ms);
        std::printf("  %-10s %7.1f ms  %.2fx  +%5.1f ms  %s\n", e.name, m, m / exact, m - exact, e.method.c_str());
    }
    std::filesystem::remove_all(dir);
    return 0;
}
