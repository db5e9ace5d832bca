#include "delta/delta_encoder.h"

#include <algorithm>
#include <optional>

#include "delta/block_match.h"
#include "delta/delta_walk.h"
#include "delta/suffix_array.h"

namespace updater::delta {
namespace {

// Whether `data` is compressed data nearly throughout (deflated members,
// images, sounds): nine in ten of kSamples pieces of kSample bytes, spread
// evenly, spend at least kDenseBits a byte in an order-0 code (a zip of
// deflated members: 7.88 on average, its headers and small members the
// rest; programs 5 to 6, stored archives 4 to 5). There sorting every
// suffix costs 50 times the block matcher's time (a 39 MB archive: 6.6 s
// against 0.13 s) for matches no shorter than the blocks find.
constexpr size_t kSamples = 64, kSample = 4096;
constexpr double kDenseBits = 7.8;

// Whether the `size` bytes at `piece` spend kDenseBits a byte or more.
bool DensePiece(const uint8_t* piece, size_t size) {
  return Order0Bits(size, [&](size_t i) { return piece[i]; }) >= kDenseBits * size;
}

bool Dense(const uint8_t* data, size_t size) {
  if (size < kSamples * kSample) return false;
  size_t dense = 0;
  for (size_t k = 0; k < kSamples; ++k) {
    dense += DensePiece(data + (size - kSample) / (kSamples - 1) * k, kSample);
  }
  return dense * 10 >= kSamples * 9;
}

// The suffixes of `data` that start in its pieces (kSample bytes each) that
// are not dense or stand beside one that is not (where an inflated member
// starts or ends among deflated ones). The dense ones are found by blocks;
// the walk still finds what blocks miss: the short matches in the rest (a
// patch's inflated members, an archive's headers) and the differences of
// its alignments.
std::vector<int32_t> SparseSuffixArray(const uint8_t* data, size_t size) {
  const size_t pieces = (size + kSample - 1) / kSample;
  std::vector<bool> sparse(pieces + 2, false);  // a piece k at k + 1
  for (size_t k = 0; k < pieces; ++k) {
    size_t at = k * kSample, n = std::min(kSample, size - at);
    sparse[k + 1] = !DensePiece(data + at, n);
  }
  std::vector<size_t> kept;
  for (size_t k = 0; k < pieces; ++k) {
    if (sparse[k] || sparse[k + 1] || sparse[k + 2]) kept.push_back(k * kSample);
  }
  return SuffixArrayOfPieces(data, size, kept, kSample);
}

}  // namespace

std::optional<SplitDelta> EncodeDelta(const uint8_t* source, size_t source_size,
                                      const uint8_t* target, size_t target_size,
                                      const EncodeLimits& limits, DeltaMethod* method) {
  // Whatever the way, the progress is told every byte of the new file once.
  if (source_size == 0 || source_size >= 0x7FFFFFF0u || target_size >= 0x7FFFFFF0u) {
    if (limits.progress) *limits.progress += static_cast<int64_t>(target_size);
    return std::nullopt;
  }
  auto found = [method](DeltaMethod how) {
    if (method) *method = how;
  };
  SplitDelta delta;
  WalkEnd walked;
  if (source_size <= limits.largest_sorted) {
    const bool dense = source_size >= limits.dense_sparsely_from && Dense(source, source_size);
    std::vector<int32_t> sa =
        dense ? SparseSuffixArray(source, source_size) : SuffixArray(source, source_size);
    std::optional<BlockIndex> blocks;
    if (dense) blocks.emplace(source, source_size);
    auto old_size = static_cast<int64_t>(source_size), new_size = static_cast<int64_t>(target_size);
    int64_t budget = limits.work_per_byte * (old_size + new_size) + limits.base_work;
    walked = WalkDelta(source, old_size, target, new_size, sa, budget, limits.copy_run, delta,
                       limits.progress, blocks ? &*blocks : nullptr);
    if (walked.covered == new_size) {
      found(DeltaMethod::kWalk);
      return delta;
    }
  }
  // Too large to sort, or the rest of what the walk could not finish within
  // its bounds: matched by blocks, after whatever the walk made.
  found(walked.covered > 0 ? DeltaMethod::kWalkThenBlocks : DeltaMethod::kBlocks);
  MatchBlocksFrom(source, source_size, target, target_size, static_cast<size_t>(walked.covered),
                  static_cast<size_t>(walked.copy_end), delta);
  if (limits.progress) *limits.progress += static_cast<int64_t>(target_size) - walked.covered;
  return delta;
}

}  // namespace updater::delta
