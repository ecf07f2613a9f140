// Replays every input kept under tests/fuzz/regressions through the fuzz
// harness: each once made the pipeline fail, and now must not.

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz_input.h"

namespace {

std::vector<std::string> regression_inputs() {
    std::vector<std::string> paths;
    DIR* d = opendir(PAIRFIT_FUZZ_REGRESSIONS);
    if (d == nullptr) return paths;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name[0] != '.' && name != "README.md") paths.push_back(std::string(PAIRFIT_FUZZ_REGRESSIONS) + "/" + name);
    }
    closedir(d);
    return paths;
}

std::vector<std::uint8_t> bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(FuzzRegressions, EveryKeptInputRunsThroughThePipeline) {
    const std::vector<std::string> inputs = regression_inputs();
    ASSERT_FALSE(inputs.empty()) << "no inputs in " << PAIRFIT_FUZZ_REGRESSIONS;
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        const std::vector<std::uint8_t> bytes = bytes_of(path);
        EXPECT_NO_THROW(align_fuzzed_bytes(bytes.data(), bytes.size()));
    }
}
