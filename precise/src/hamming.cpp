#include "hamming.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace pairfit {
namespace {

int bits_set(std::uint64_t x) { return __builtin_popcountll(x); }

template <class Popcount>
inline __attribute__((always_inline)) std::vector<NearestTwo> nearest_two_with(const cv::Mat& from,
                                                                               const cv::Mat& to,
                                                                               Popcount popcount) {
    const int words = from.cols / 8;
    std::vector<NearestTwo> result(from.rows);
    std::vector<std::uint64_t> a(words), b(static_cast<size_t>(to.rows) * words);
    for (int j = 0; j < to.rows; ++j) std::memcpy(&b[static_cast<size_t>(j) * words], to.ptr(j), words * 8);
    for (int i = 0; i < from.rows; ++i) {
        std::memcpy(a.data(), from.ptr(i), words * 8);
        NearestTwo& n = result[i];
        int d0 = INT_MAX, d1 = INT_MAX;
        for (int j = 0; j < to.rows; ++j) {
            const std::uint64_t* row = &b[static_cast<size_t>(j) * words];
            int d = 0;
            for (int w = 0; w < words; ++w) d += popcount(a[w] ^ row[w]);
            if (d >= d1) continue;
            if (d < d0) {
                d1 = d0;
                n.second = n.first;
                d0 = d;
                n.first = j;
            } else {
                d1 = d;
                n.second = j;
            }
        }
        n.first_distance = d0;
        n.second_distance = d1;
    }
    return result;
}

#if defined(__x86_64__) || defined(__i386__)
// The population count instruction is not in the baseline the library is
// built for; this copy uses it where the processor has it.
__attribute__((target("popcnt"))) std::vector<NearestTwo> nearest_two_popcnt(const cv::Mat& from,
                                                                            const cv::Mat& to) {
    return nearest_two_with(from, to, [](std::uint64_t x) { return __builtin_popcountll(x); });
}
#endif

}  // namespace

std::vector<NearestTwo> nearest_two(const cv::Mat& from, const cv::Mat& to) {
    CV_Assert(from.type() == CV_8UC1 && to.type() == CV_8UC1 && from.cols == to.cols && from.cols % 8 == 0);
#if defined(__x86_64__) || defined(__i386__)
    static const bool has_popcnt = __builtin_cpu_supports("popcnt");
    if (has_popcnt) return nearest_two_popcnt(from, to);
#endif
    return nearest_two_with(from, to, bits_set);
}

}  // namespace pairfit
