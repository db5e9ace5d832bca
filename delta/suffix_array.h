// Sorting every suffix of an old file, which the delta walk searches for the
// longest match of each position of the new file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace updater::delta {

// The suffix array of `data` and its empty suffix: the `size` + 1 starting
// offsets of its suffixes in lexicographic order (the empty one, `size`,
// first). Linear time (SA-IS): the array's 4 bytes per byte of `data` and
// a bit more while it runs (at most 6 more, where most suffixes' first
// bytes repeat far apart). `size` must stay below 2^31 - 1.
std::vector<int32_t> SuffixArray(const uint8_t* data, size_t size);

// The suffixes of `data` that start in its pieces of `piece` bytes at the
// ascending offsets `pieces` (the last piece of `data` may be shorter),
// sorted as if those pieces stood together, as offsets in `data`; the empty
// suffix, `size`, first. The last byte of a run of pieces is left out: the
// byte after it in `data` is not the one it was sorted by, and the walk
// finds suffixes by their first two bytes.
std::vector<int32_t> SuffixArrayOfPieces(const uint8_t* data, size_t size,
                                         const std::vector<size_t>& pieces, size_t piece);

}  // namespace updater::delta
