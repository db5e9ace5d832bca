// What the delta encoder makes and the bounds it works within: a delta as
// its four streams before compression, the limits of one encoding, and the
// way the delta was found.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace updater::delta {

// The four streams of a delta (before compression), and the zero
// differences since the last value, which the next gap counts.
struct SplitDelta {
  std::vector<uint8_t> operations, gaps, values, literals;
  uint64_t zeros = 0;
};

// Appends the differences of the `size` new bytes at `fresh` from the old
// bytes at `old` they stand for (the walk's and the block matcher's): each
// value not zero after the zeros counted before it.
void AppendDifferences(const uint8_t* old, const uint8_t* fresh, size_t size, SplitDelta& out);

// The bits an order-0 code spends on `size` bytes, each told by `byte(i)`:
// how regular they are.
template <typename Byte>
double Order0Bits(size_t size, Byte byte) {
  size_t counts[256] = {};
  for (size_t i = 0; i < size; ++i) ++counts[byte(i)];
  double bits = 0;
  for (size_t count : counts) {
    if (count > 0) bits += static_cast<double>(count) * std::log2(static_cast<double>(size) / count);
  }
  return bits;
}

// Whether the `size` new bytes at `fresh` are unrelated to the old bytes at
// `old` that an alignment puts under them (new data where old stood: an
// asset replaced by one of the same size, the alignment found again after
// it): at most one in eight agrees, and their differences save less than a
// 128th of the bytes' order-0 code. Such bytes go as literals, not as
// differences as dense as themselves.
bool Unrelated(const uint8_t* old, const uint8_t* fresh, size_t size);

// Whether the `size` new bytes at `fresh` are better told as differences
// from the old bytes at `old` they replace than as themselves: a region
// tinted, a sound made quieter, a table's counts raised change each byte
// by a few regular amounts, so their differences code smaller in an order-0
// count, and they are not unrelated (whose differences such a count may
// find a little more regular by chance).
bool BetterAsDifferences(const uint8_t* old, const uint8_t* fresh, size_t size);

// The bounds of one encoding. The defaults are the ones every build uses;
// the tests lower them to reach the block matcher with small files.
struct EncodeLimits {
  // The largest old file whose suffixes are sorted: 4 to 10 bytes of memory
  // each while they are, so at most about 800 MiB, which a 32-bit
  // updatepkg.exe can still find room for (a 66 MB program took 839 MiB in
  // all). A larger one is block-matched.
  size_t largest_sorted = 80 << 20;
  // The byte comparisons a walk may take: this many per byte of the two
  // files, plus `base_work`. A walk that reaches it stops there, and the
  // rest of the new file is block-matched.
  int64_t work_per_byte = 64;
  int64_t base_work = 1 << 20;
  // Equal bytes in a row that an aligned stretch copies rather than
  // differences. Deflated streams want it short (inflate spends bits on
  // every 258 zeros); sparse differences coded with LZMA do not (a longer
  // gap costs less than the two operations around a copy), see EncodePatch.
  int64_t copy_run = 256;
  // An old file of at least this size that holds compressed data nearly
  // throughout is walked with only the suffixes of its pieces that are not
  // dense sorted, and its blocks looked up for the rest (see
  // delta_encoder.cc). Smaller ones have all their suffixes sorted: it
  // costs seconds only past tens of MB, and it finds shorter matches than
  // blocks do (a 24 MB tree of dense assets with 20 bytes changed in each
  // of 15: 1,190 bytes walked, 1,364 by blocks).
  size_t dense_sparsely_from = 32 << 20;
  // Where given, told the new file's bytes as they are encoded (from any
  // thread), each once by the end: a build's progress.
  std::atomic<int64_t>* progress = nullptr;
};

// How a delta was found: by the walk, by blocks, or by the walk until it ran
// out of work and by blocks for the rest.
enum class DeltaMethod { kWalk, kBlocks, kWalkThenBlocks };

}  // namespace updater::delta
