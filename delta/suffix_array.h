// Sorting every suffix of an old file, which the delta walk searches for the
// longest match of each position of the new file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace updater::delta {

// The suffix array of `data` and its empty suffix: the `size` + 1 starting
// offsets of its suffixes in lexicographic order (the empty one, `size`,
// first). Linear time (SA-IS); about 12 bytes of memory per byte of `data`
// while it runs. `size` must stay below 2^31 - 1.
std::vector<int32_t> SuffixArray(const uint8_t* data, size_t size);

}  // namespace updater::delta
