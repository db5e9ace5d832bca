#include "delta/block_match.h"

#include <cstring>
#include <vector>

#include "package/delta.h"

namespace updater::delta {
namespace {

constexpr size_t kBlock = 32;                       // bytes hashed per index entry
constexpr uint64_t kMultiplier = 0x100000001B3ull;  // of the rolling hash

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
  uint64_t top_power_ = 1;
  uint64_t value_ = 0;
};

// The aligned blocks of the old file by hash; a slot holds block number + 1.
struct BlockIndex {
  explicit BlockIndex(const uint8_t* old_data, size_t size) {
    size_t blocks = size / kBlock;
    int bits = 10;
    while ((size_t{1} << bits) < 2 * blocks) ++bits;
    slots.assign(size_t{1} << bits, 0);
    shift = 64 - bits;
    RollingHash hash;
    for (size_t b = 0; b < blocks; ++b) {
      uint32_t& slot = slots[Slot(hash.Start(old_data + b * kBlock))];
      if (slot == 0) slot = static_cast<uint32_t>(b + 1);  // the first of equal blocks
    }
  }
  size_t Slot(uint64_t hash) const {
    return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift);
  }
  std::vector<uint32_t> slots;
  int shift = 64;
};

}  // namespace

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
    uint32_t slot = index.slots[index.Slot(h)];
    size_t from = static_cast<size_t>(slot - 1) * kBlock;
    if (slot != 0 && std::memcmp(old_data + from, new_data + pos, kBlock) == 0) {
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
