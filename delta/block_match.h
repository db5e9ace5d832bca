// The cheaper matcher, for an old file too large to sort its suffixes in
// memory and for a pair whose walk ran out of work: exact runs found by a
// rolling hash over the old file's aligned 32-byte blocks (one 4-byte slot
// per 16 bytes of it), extended byte by byte both ways. Archives of whole
// assets, where it meets such files, patch as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "delta/split_delta.h"

namespace updater::delta {

inline constexpr size_t kBlock = 32;  // bytes hashed per index entry

// A rolling polynomial hash over the last kBlock bytes.
class RollingHash {
 public:
  RollingHash() {
    for (size_t i = 1; i < kBlock; ++i) top_power_ *= kMultiplier;
  }
  uint64_t Start(const uint8_t* p) {
    value_ = 0;
    for (size_t i = 0; i < kBlock; ++i) value_ = value_ * kMultiplier + p[i];
    return value_;
  }
  // Drops `out` from the front and takes `in` at the back.
  uint64_t Roll(uint8_t out, uint8_t in) {
    value_ = (value_ - out * top_power_) * kMultiplier + in;
    return value_;
  }

 private:
  static constexpr uint64_t kMultiplier = 0x100000001B3ull;
  uint64_t top_power_ = 1;
  uint64_t value_ = 0;
};

// The aligned blocks of an old file by their hash.
class BlockIndex {
 public:
  BlockIndex(const uint8_t* old_data, size_t size);
  // Where an old block stands whose bytes are the kBlock at `p` (of the
  // given hash), the first of equal ones; SIZE_MAX where none is.
  size_t Find(const uint8_t* p, uint64_t hash) const;

 private:
  size_t Slot(uint64_t hash) const {
    return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  const uint8_t* old_;
  std::vector<uint32_t> slots_;  // block number + 1, or 0
  int shift_ = 64;
};

// Appends to `out` the delta that makes `new_data` from byte `from` on out of
// `old_data`: copies of the runs the two share and literals between them.
// The last copy or difference in `out` ended at `copy_end` in the old file.
void MatchBlocksFrom(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                     size_t new_size, size_t from, size_t copy_end, SplitDelta& out);

}  // namespace updater::delta
