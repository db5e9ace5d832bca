// The delta encoder: how a new file is written as operations on an old one.
// For each changed file it sorts every suffix of the old file it patches
// (suffix_array.h), then walks the new file looking up the longest match of
// each position (delta_walk.h) and keeps to the alignment of the last match
// while at least half of the bytes agree: code whose addresses moved becomes
// a difference of mostly zeros. An old file too large to sort is matched by
// exact runs of hashed blocks (block_match.h) instead; a walk that reaches
// its bound of work keeps what it made, and the rest is block-matched. The operations, the
// differences (as gaps and values) and the literal bytes are the four streams of a delta record
// (delta_record.h). Each file is encoded on one thread, so the bytes never
// depend on how many run.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace updater::tool {

// The four streams of a delta (before compression), and the zero
// differences since the last value, which the next gap counts.
struct SplitDelta {
  std::vector<uint8_t> operations, gaps, values, literals;
  uint64_t zeros = 0;
};

// The bounds of one encoding. The defaults are the ones every build uses;
// the tests lower them to reach the block matcher with small files.
struct EncodeLimits {
  // The largest old file whose suffixes are sorted: about 12 bytes of memory
  // each while they are, so at most about 1 GiB, which a 32-bit
  // updatepkg.exe can still find room for (a 66 MB program took 839 MiB in
  // all). A larger one is block-matched.
  size_t largest_sorted = 80 << 20;
  // The byte comparisons a walk may take: this many per byte of the two
  // files, plus `base_work`. A walk that reaches it stops there, and the
  // rest of the new file is block-matched.
  int64_t work_per_byte = 64;
  int64_t base_work = 1 << 20;
  // Where given, told the new file's bytes as they are encoded (from any
  // thread), each once by the end: a build's progress.
  std::atomic<int64_t>* progress = nullptr;
};

// How a delta was found: by the walk, by blocks, or by the walk until it ran
// out of work and by blocks for the rest.
enum class DeltaMethod { kWalk, kBlocks, kWalkThenBlocks };

// The delta that makes `target` from `source`; none when `source` is empty
// or either reaches 2 GiB. `method`, where given, is told how it was found.
std::optional<SplitDelta> EncodeDelta(const uint8_t* source, size_t source_size,
                                      const uint8_t* target, size_t target_size,
                                      const EncodeLimits& limits = {},
                                      DeltaMethod* method = nullptr);

}  // namespace updater::tool
