// Writes the benchmarks' realistic pair as <dir>/label.jpg and
// <dir>/label_shot.jpg, so that benchmarks outside C++ align the same images.
//
//   pairfit_write_pair <dir> [width height]

#include <cstdio>
#include <cstdlib>

#include "synthetic_pair.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: %s <dir> [width height]\n", argv[0]);
        return 2;
    }
    const int width = argc == 4 ? std::atoi(argv[2]) : 4000;
    const int height = argc == 4 ? std::atoi(argv[3]) : 3000;
    write_pair(argv[1], width, height, 7);
    return 0;
}
