// Predicted references: a patch of a program whose code moved differs from
// its old self mostly in addresses, each one the old address plus how far
// its target moved less how far the reference itself moved. Both are known
// from the patch's own operations, so the updater predicts such addresses
// and the differences are taken against the prediction: a 47 MB library one
// security release apart had 2.15 million differing bytes, 0.52 million
// against its predicted references.
//
// A patch that predicts starts its operations with the references
// operation (kind 3, see package/delta.h), whose value V >> 2 holds the
// kinds of reference predicted in its low three bits (ReferenceKind) and the
// base address of the program's pointers, in 4 KiB pages, above them.
//
// The map: each copy and difference of at least kMapPiece bytes places its
// old bytes at its new position. Ordered by where they start in the old
// file (in the stream's order where two start alike), each is cut to start
// where the one kept before it ends, and dropped where nothing is left. A
// position of the old file moved by the new start less the old start of the
// piece holding it; a position no piece holds did not move.
//
// Each difference's old bytes are scanned from its first; at each, the
// kinds are tried in order, and the first that finds a reference there
// predicts it and the scan goes on after it; else at the next byte:
//
// clang-format off
// | kind | where | reference |
// |---|---|---|
// | pointers | a position that is a multiple of 8 in the old file | the 64-bit value there, less the base: an old position |
// | relative branches | E8 or E9, or 0F and 80 to 8F | a signed 32-bit displacement after them |
// | RIP-relative operands | an opcode byte of kRipOpcodes and a ModRM byte of mod 0, r/m 5 | a signed 32-bit displacement after them |
// clang-format on
//
// (Pointers first: in a table of them, a byte E8 would otherwise take the
// next pointer's first bytes as a call's displacement.)
//
// A reference lies wholly inside the difference, and its target inside the
// old file (a displacement's: the position after it plus the displacement)
// at a position that moved, at least 64 KiB in for a pointer. It is
// predicted as its old value plus how far the target moved, less (for a
// displacement) how far the difference itself moved, modulo 2^32 or 2^64,
// little-endian. Every other byte is predicted to be its old byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace updater::package {

enum ReferenceKind : uint8_t {
  kRelativeBranches = 1,
  kRipRelative = 2,
  kPointers = 4,
};

// The copies and differences shorter than this stay out of the map: a few
// bytes of code found again elsewhere say nothing of where the code around
// them went.
inline constexpr uint64_t kMapPiece = 4096;

// The most operation bytes and map pieces a predicting patch may have: what
// applying it holds in memory besides (1 MiB and 1.5 MiB).
inline constexpr size_t kMostPredictedOperations = 1 << 20;
inline constexpr size_t kMostMapPieces = 1 << 16;

// Where the old file's bytes went, and what the patch predicts.
class ReferenceMap {
 public:
  // From the references operation's value (V >> 2); false where it
  // predicts nothing or names an unknown kind or a base past 2^44.
  bool SetPrediction(uint64_t value);
  uint64_t Prediction() const;

  // A copy or a difference; pieces shorter than kMapPiece are passed over.
  // False past kMostMapPieces.
  bool Add(uint64_t old_start, uint64_t length, uint64_t new_start);
  // Orders and cuts the pieces, once all are added.
  void Finish();

  // How far `position` of the old file moved; false where no piece holds it.
  bool Moved(uint64_t position, int64_t& shift) const;

  uint64_t old_size = 0;
  uint8_t kinds = 0;
  uint64_t base = 0;

 private:
  struct Piece {
    uint64_t old_start, old_end;
    int64_t shift;
  };
  std::vector<Piece> pieces_;
};

// The predicted bytes of one difference, in pieces as its bytes are made.
class ReferencePredictor {
 public:
  // The difference of `length` bytes from `old_start`, made at `new_start`.
  ReferencePredictor(const ReferenceMap& map, uint64_t old_start, uint64_t length,
                     uint64_t new_start);

  // `bytes` hold the old bytes of the difference from its offset `at`,
  // `size` of them, and `ahead` the `ahead_size` after them (up to 7, as
  // many as the difference has); turns them into the predicted bytes. The
  // pieces come in order.
  void Predict(uint8_t* bytes, uint64_t at, size_t size, const uint8_t* ahead, size_t ahead_size);

  static constexpr size_t kLookAhead = 7;

 private:
  // The length of a reference predicted at `at` of `old`, `available` bytes
  // from there (0: none), its predicted bytes into `out` and where they
  // start after `at` into `start`.
  size_t PredictAt(const uint8_t* old, size_t available, uint64_t at, uint8_t* out,
                   size_t& start) const;

  const ReferenceMap& map_;
  uint64_t old_start_, length_;
  int64_t shift_;      // how far this difference moved
  uint64_t next_ = 0;  // the next offset the scan looks at
  uint8_t pending_[8] =
      {};  // predicted bytes past the last piece, from offset next_ - pending_size_
  size_t pending_size_ = 0;
};

}  // namespace updater::package
