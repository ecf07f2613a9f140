// libFuzzer entry: arbitrary bytes as the reference or the camera image.

#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    align_fuzzed_bytes(data, size);
    return 0;
}
