// The delta encoder: how a new file is written as operations on an old one.
// For each changed file it sorts every suffix of the old file it patches
// (suffix_array.h), then walks the new file looking up the longest match of
// each position (delta_walk.h; on bytes neither the old file nor the last
// alignment holds, of every few positions) and keeps to the alignment of the last match
// while at least half of the bytes agree: code whose addresses moved becomes
// a difference of mostly zeros. An old file too large to sort is matched by
// exact runs of hashed blocks (block_match.h) instead; a walk that reaches
// its bound of work keeps what it made, and the rest is block-matched. The
// operations, the differences (as gaps and values) and the literal bytes are
// the four streams of a delta record, deflated by patch.h. Each file is
// encoded on one thread, so the bytes never depend on how many run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "delta/split_delta.h"

namespace updater::delta {

// The delta that makes `target` from `source`; none when `source` is empty
// or either reaches 2 GiB. `method`, where given, is told how it was found.
std::optional<SplitDelta> EncodeDelta(const uint8_t* source, size_t source_size,
                                      const uint8_t* target, size_t target_size,
                                      const EncodeLimits& limits = {},
                                      DeltaMethod* method = nullptr);

}  // namespace updater::delta
