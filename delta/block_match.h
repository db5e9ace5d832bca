// The cheaper matcher, for an old file too large to sort its suffixes in
// memory and for a pair whose walk ran out of work: exact runs found by a
// rolling hash over the old file's aligned 32-byte blocks (one 4-byte slot
// per 16 bytes of it), extended byte by byte both ways. Archives of whole
// assets, where it meets such files, patch as well.
#pragma once

#include <cstddef>
#include <cstdint>

#include "delta/split_delta.h"

namespace updater::delta {

// Appends to `out` the delta that makes `new_data` from byte `from` on out of
// `old_data`: copies of the runs the two share and literals between them.
// The last copy or difference in `out` ended at `copy_end` in the old file.
void MatchBlocksFrom(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                     size_t new_size, size_t from, size_t copy_end, SplitDelta& out);

}  // namespace updater::delta
