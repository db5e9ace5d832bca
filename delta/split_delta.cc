#include "delta/split_delta.h"

#include <utility>

#include "package/delta.h"

namespace updater::delta {

void AppendDifferences(const uint8_t* old, const uint8_t* fresh, size_t size, SplitDelta& out) {
  for (size_t i = 0; i < size; ++i) {
    auto d = static_cast<uint8_t>(fresh[i] - old[i]);
    if (d == 0) {
      ++out.zeros;
      continue;
    }
    package::AppendVarint(out.gaps, out.zeros);
    out.values.push_back(d);
    out.zeros = 0;
  }
}

namespace {

size_t Agreeing(const uint8_t* old, const uint8_t* fresh, size_t size) {
  size_t agree = 0;
  for (size_t i = 0; i < size; ++i) agree += fresh[i] == old[i];
  return agree;
}

double DifferenceBits(const uint8_t* old, const uint8_t* fresh, size_t size) {
  return Order0Bits(size, [&](size_t i) { return static_cast<uint8_t>(fresh[i] - old[i]); });
}

double ByteBits(const uint8_t* fresh, size_t size) {
  return Order0Bits(size, [&](size_t i) { return fresh[i]; });
}

// Unrelated's rule, with the two order-0 counts taken only where the
// agreeing bytes leave it open.
template <typename Counts>
bool UnrelatedGiven(const uint8_t* old, const uint8_t* fresh, size_t size, Counts counts) {
  if (Agreeing(old, fresh, size) * 8 > size) return false;
  auto [difference_bits, byte_bits] = counts();
  return difference_bits >= byte_bits * (1 - 1.0 / 128);
}

}  // namespace

// The differences of unrelated dense bytes are as dense, and their gaps (a
// varint for nearly every byte) cost bits that literals do not: half of a
// 24 MB file's 64 KiB pieces new cost 84 KB over the new bytes as
// differences, 0.3 KB as literals. Where the old bytes are zeros the
// differences are the bytes themselves, but most agree (a pk3's patch was
// 99 bytes larger without that bound); code whose references moved is
// mostly equal bytes, and its differences' references are predicted,
// which an order-0 count does not see (a margin of a sixteenth of a bit a
// byte rather than a 128th of the bytes' bits made libnode's patch 893
// bytes larger).
bool Unrelated(const uint8_t* old, const uint8_t* fresh, size_t size) {
  return UnrelatedGiven(old, fresh, size, [&] {
    return std::pair(DifferenceBits(old, fresh, size), ByteBits(fresh, size));
  });
}

bool BetterAsDifferences(const uint8_t* old, const uint8_t* fresh, size_t size) {
  double differences = DifferenceBits(old, fresh, size), bytes = ByteBits(fresh, size);
  return differences < bytes &&
         !UnrelatedGiven(old, fresh, size, [&] { return std::pair(differences, bytes); });
}

}  // namespace updater::delta
