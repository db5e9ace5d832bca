#include "delta/predict_references.h"

#include <vector>

#include "package/delta.h"
#include "package/references.h"

namespace updater::delta {
namespace {

struct Difference {
  uint64_t old_start, length, new_start;
};

// The differences of a patch.
class Differences : public package::DeltaSink {
 public:
  bool Copy(uint64_t, uint64_t length) override { return Literal(length); }
  bool Literal(uint64_t length) override {
    made_ += length;
    return true;
  }
  bool Difference(uint64_t offset, uint64_t length) override {
    list.push_back({offset, length, made_});
    return Literal(length);
  }

  std::vector<struct Difference> list;

 private:
  uint64_t made_ = 0;
};

// Hands each byte of the differences, against their predicted old bytes,
// to `take`.
template <typename Take>
void EachDifference(const uint8_t* old_data, const uint8_t* new_data,
                    const std::vector<Difference>& differences, const package::ReferenceMap& map,
                    Take take) {
  std::vector<uint8_t> predicted;
  for (const Difference& d : differences) {
    predicted.assign(old_data + d.old_start, old_data + d.old_start + d.length);
    package::ReferencePredictor(map, d.old_start, d.length, d.new_start)
        .Predict(predicted.data(), 0, predicted.size(), nullptr, 0);
    for (uint64_t i = 0; i < d.length; ++i) {
      take(static_cast<uint8_t>(new_data[d.new_start + i] - predicted[i]));
    }
  }
}

// What the build tries: the branches alone (32-bit code, whose other
// references are absolute), with RIP-relative operands (64-bit code), and
// with pointers too at the bases programs load at: 0 for a shared library or
// a position-independent program, 0x400000 for an x86-64 Linux program and a
// 32-bit Windows one, 0x140000000 for a 64-bit Windows one.
constexpr uint64_t kTried[] = {
    package::kRelativeBranches,
    package::kRelativeBranches | package::kRipRelative,
    package::kRelativeBranches | package::kRipRelative | package::kPointers,
    package::kRelativeBranches | package::kRipRelative | package::kPointers | (0x400000 >> 12 << 3),
    package::kRelativeBranches | package::kRipRelative | package::kPointers |
        (uint64_t{0x140000000} >> 12 << 3),
};

}  // namespace

void PredictReferences(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                       size_t new_size, SplitDelta& delta) {
  if (delta.values.empty() || delta.operations.size() + 16 > package::kMostPredictedOperations) {
    return;
  }
  // The operations after the references operation of `prediction`.
  auto headed = [&delta](uint64_t prediction) {
    std::vector<uint8_t> operations;
    package::AppendVarint(operations, prediction << 2 | 3);
    operations.insert(operations.end(), delta.operations.begin(), delta.operations.end());
    return operations;
  };
  package::ReferenceMap map;
  Differences differences;
  package::DeltaOps ops(old_size, new_size, differences);
  // (Any prediction: the map is the same.)
  if (!package::ReadReferenceMap(headed(kTried[0]), old_size, new_size, map) ||
      !ops.Feed(delta.operations.data(), delta.operations.size())) {
    return;
  }
  // The fewest non-zero differences: a fiftieth fewer than without, at least.
  size_t fewest = delta.values.size() - delta.values.size() / 50;
  uint64_t best = 0;
  for (uint64_t prediction : kTried) {
    map.SetPrediction(prediction);
    size_t nonzero = 0;
    EachDifference(old_data, new_data, differences.list, map,
                   [&nonzero](uint8_t d) { nonzero += d != 0; });
    if (nonzero < fewest) {
      fewest = nonzero;
      best = prediction;
    }
  }
  if (best == 0) return;
  map.SetPrediction(best);
  delta.gaps.clear();
  delta.values.clear();
  uint64_t zeros = 0;
  EachDifference(old_data, new_data, differences.list, map, [&](uint8_t d) {
    if (d == 0) {
      ++zeros;
      return;
    }
    package::AppendVarint(delta.gaps, zeros);
    delta.values.push_back(d);
    zeros = 0;
  });
  delta.zeros = zeros;
  delta.operations = headed(best);
}

}  // namespace updater::delta
