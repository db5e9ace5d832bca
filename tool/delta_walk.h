// The matching walk over a new file, as bsdiff walks: at each position the
// longest match in the old file's sorted suffixes, extended while at least
// half of the bytes agree, so that moved code becomes sparse differences.
#pragma once

#include <cstdint>
#include <vector>

#include "tool/delta_encoder.h"

namespace updater::tool {

// Walks `new_data` against `old_data`, whose suffix array is `sa`, and
// appends the delta's operations, differences and literals to `out`. False
// when the walk would take more than `budget` byte comparisons: what `out`
// holds then is not a delta and must be thrown away.
bool WalkDelta(const uint8_t* old_data, int64_t old_size, const uint8_t* new_data, int64_t new_size,
               const std::vector<int32_t>& sa, int64_t budget, SplitDelta& out);

}  // namespace updater::tool
