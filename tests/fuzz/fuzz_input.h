#pragma once
// Arbitrary bytes through the whole pipeline, as the reference or as the
// camera image of an otherwise valid pair. Shared by the libFuzzer target
// and the regression test that replays what the fuzzer found.

#include <cstddef>
#include <cstdint>

/// Byte 0 chooses the role (bit 0: camera, else reference), masking (bit 1)
/// and the entry (bit 2: the precise one); the rest is the image file. Returns normally for every input,
/// whatever the pipeline decided; pairfit's own errors and allocation
/// failures are expected outcomes, anything else escapes.
void align_fuzzed_bytes(const std::uint8_t* data, std::size_t size);
