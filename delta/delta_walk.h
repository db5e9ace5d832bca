// The matching walk over a new file, as bsdiff walks: at each position the
// longest match in the old file's sorted suffixes, extended while at least
// half of the bytes agree, so that moved code becomes sparse differences.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "delta/block_match.h"
#include "delta/split_delta.h"

namespace updater::delta {

// How far a walk got: the bytes at the start of the new file that its
// output makes, and where its last copy or difference ended in the old file.
struct WalkEnd {
  int64_t covered = 0;
  int64_t copy_end = 0;
};

// Walks `new_data` against `old_data`, whose suffix array is `sa`, and
// appends the delta's operations, differences and literals to `out`: for
// the whole new file, or, where the walk would take more than `budget` byte
// comparisons, for the part it had covered when it stopped. A run of
// `copy_run` equal bytes or more inside an aligned stretch is a copy, and
// a piece of it unrelated to the old bytes (new data where old stood) is
// taken as literals.
// `progress`, where given, is told the new file's bytes as the walk passes them.
// Given `blocks` (the old file's BlockIndex), `sa` may hold the suffixes of
// some of the old file's pieces only, each sorted as if those pieces stood
// together: a search also looks up the blocks, and searches every position.
WalkEnd WalkDelta(const uint8_t* old_data, int64_t old_size, const uint8_t* new_data,
                  int64_t new_size, const std::vector<int32_t>& sa, int64_t budget,
                  int64_t copy_run, SplitDelta& out, std::atomic<int64_t>* progress = nullptr,
                  const BlockIndex* blocks = nullptr);

}  // namespace updater::delta
