#include "delta/block_match.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "package/delta.h"

namespace updater::delta {

BlockIndex::BlockIndex(const uint8_t* old_data, size_t size) : old_(old_data) {
  size_t blocks = size / kBlock;
  int bits = 10;
  while ((size_t{1} << bits) < 2 * blocks) ++bits;
  slots_.assign(size_t{1} << bits, 0);
  shift_ = 64 - bits;
  // Hashed a batch at a time, so that the slots' cache misses (the table
  // is far larger than the cache) overlap rather than wait in turn.
  constexpr size_t kBatch = 16;
  size_t batch[kBatch];
  RollingHash hash;
  for (size_t first = 0; first < blocks; first += kBatch) {
    const size_t n = std::min(kBatch, blocks - first);
    for (size_t j = 0; j < n; ++j) batch[j] = Slot(hash.Start(old_data + (first + j) * kBlock));
    for (size_t j = 0; j < n; ++j) {
      uint32_t& slot = slots_[batch[j]];
      if (slot == 0) slot = static_cast<uint32_t>(first + j + 1);  // the first of equal blocks
    }
  }
}

size_t BlockIndex::Find(const uint8_t* p, uint64_t hash) const {
  uint32_t slot = slots_[Slot(hash)];
  if (slot == 0) return SIZE_MAX;
  size_t from = static_cast<size_t>(slot - 1) * kBlock;
  return std::memcmp(old_ + from, p, kBlock) == 0 ? from : SIZE_MAX;
}

void MatchBlocksFrom(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                     size_t new_size, size_t from, size_t copy_end, SplitDelta& out) {
  BlockIndex index(old_data, old_size);
  size_t literal_start = from, pos = from;
  auto literal = [&](size_t end) {
    if (end <= literal_start) return;
    package::AppendSplitOp(out.operations, package::SplitOp::kLiteral, end - literal_start, 0);
    out.literals.insert(out.literals.end(), new_data + literal_start, new_data + end);
  };
  RollingHash hash;
  uint64_t h = pos + kBlock <= new_size ? hash.Start(new_data + pos) : 0;
  while (pos + kBlock <= new_size) {
    size_t from = index.Find(new_data + pos, h);
    if (from != SIZE_MAX) {
      size_t back = 0;
      while (back < pos - literal_start && back < from &&
             old_data[from - back - 1] == new_data[pos - back - 1]) {
        ++back;
      }
      size_t length = kBlock;
      while (pos + length < new_size && from + length < old_size &&
             old_data[from + length] == new_data[pos + length]) {
        ++length;
      }
      // Between two runs at one alignment, the bytes that changed in place.
      size_t gap = pos - back - literal_start;
      if (gap > 0 && from - back == copy_end + gap &&
          BetterAsDifferences(old_data + copy_end, new_data + literal_start, gap)) {
        package::AppendSplitOp(out.operations, package::SplitOp::kDifference, gap, 0);
        AppendDifferences(old_data + copy_end, new_data + literal_start, gap, out);
        copy_end += gap;
        literal_start += gap;
      }
      literal(pos - back);
      package::AppendSplitOp(out.operations, package::SplitOp::kCopy, back + length,
                             static_cast<int64_t>(from - back) - static_cast<int64_t>(copy_end));
      copy_end = from + length;
      pos += length;
      literal_start = pos;
      if (pos + kBlock <= new_size) h = hash.Start(new_data + pos);
      continue;
    }
    if (pos + kBlock < new_size) h = hash.Roll(new_data[pos], new_data[pos + kBlock]);
    ++pos;
  }
  literal(new_size);
}

}  // namespace updater::delta
