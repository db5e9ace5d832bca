#include "package/references.h"

#include <algorithm>

#include "package/format.h"

namespace updater::package {
namespace {

// The opcode bytes (the last, after 0F for two-byte ones) whose ModRM byte
// follows them directly: loads, stores, compares, arithmetic, lea, calls and
// jumps through memory, and SSE moves, which in 64-bit code address their
// operand RIP-relative with mod 0, r/m 5. Taken from a 47 MB library's code;
// in order, for the binary search. (0F xx: the two-byte opcode.)
constexpr uint8_t kRipOpcodes[] = {
    0x03,  // add r, r/m
    0x0B,  // or r, r/m
    0x10,  // 0F 10: movups/movss/movsd xmm, m
    0x11,  // 0F 11: movups/movss/movsd m, xmm
    0x23,  // and r, r/m
    0x28,  // 0F 28: movaps xmm, m
    0x29,  // 0F 29: movaps m, xmm
    0x2B,  // sub r, r/m
    0x2E,  // 0F 2E: ucomiss/ucomisd
    0x2F,  // 0F 2F: comiss/comisd
    0x33,  // xor r, r/m
    0x39,  // cmp r/m, r
    0x3B,  // cmp r, r/m
    0x51,  // 0F 51: sqrtss/sqrtsd
    0x54,  // 0F 54: andps/andpd
    0x57,  // 0F 57: xorps/xorpd
    0x58,  // 0F 58: addss/addsd
    0x59,  // 0F 59: mulss/mulsd
    0x5C,  // 0F 5C: subss/subsd
    0x5E,  // 0F 5E: divss/divsd
    0x63,  // movsxd r, r/m32
    0x6F,  // 0F 6F: movdqa/movdqu xmm, m
    0x7F,  // 0F 7F: movdqa/movdqu m, xmm
    0x80,  // op r/m8, imm8 (add, or, ..., cmp)
    0x81,  // op r/m, imm32
    0x83,  // op r/m, imm8
    0x85,  // test r/m, r
    0x87,  // xchg r/m, r
    0x89,  // mov r/m, r
    0x8B,  // mov r, r/m
    0x8D,  // lea r, m
    0xB6,  // 0F B6: movzx r, r/m8
    0xB7,  // 0F B7: movzx r, r/m16
    0xBE,  // 0F BE: movsx r, r/m8
    0xBF,  // 0F BF: movsx r, r/m16
    0xC6,  // mov r/m8, imm8
    0xC7,  // mov r/m, imm32
    0xFF,  // inc, dec, call, jmp, push r/m
};

bool IsRipOpcode(uint8_t byte) {
  return std::binary_search(std::begin(kRipOpcodes), std::end(kRipOpcodes), byte);
}

}  // namespace

bool ReferenceMap::SetPrediction(uint64_t value) {
  kinds = static_cast<uint8_t>(value & 7);
  uint64_t pages = value >> 3;
  base = pages << 12;
  return kinds != 0 && pages < (uint64_t{1} << 32);
}

uint64_t ReferenceMap::Prediction() const { return kinds | (base >> 12) << 3; }

bool ReferenceMap::Add(uint64_t old_start, uint64_t length, uint64_t new_start) {
  if (length < kMapPiece) return true;
  if (pieces_.size() == kMostMapPieces) return false;
  pieces_.push_back({old_start, old_start + length, static_cast<int64_t>(new_start - old_start)});
  return true;
}

void ReferenceMap::Finish() {
  // Two pieces that start alike go in the stream's order: by new position.
  auto before = [](const Piece& a, const Piece& b) {
    return a.old_start != b.old_start ? a.old_start < b.old_start : a.shift < b.shift;
  };
  // A Shell sort with Knuth's gaps (the updater's smallest, and at most
  // about n^1.5 steps whatever the order).
  size_t gap = 1;
  while (gap < pieces_.size() / 3) gap = 3 * gap + 1;
  for (; gap > 0; gap /= 3) {
    for (size_t i = gap; i < pieces_.size(); ++i) {
      for (size_t j = i; j >= gap && before(pieces_[j], pieces_[j - gap]); j -= gap) {
        std::swap(pieces_[j], pieces_[j - gap]);
      }
    }
  }
  size_t kept = 0;
  uint64_t end = 0;
  for (Piece piece : pieces_) {
    piece.old_start = std::max(piece.old_start, end);
    if (piece.old_start >= piece.old_end) continue;
    pieces_[kept++] = piece;
    end = piece.old_end;
  }
  pieces_.erase(pieces_.begin() + static_cast<std::ptrdiff_t>(kept), pieces_.end());
}

bool ReferenceMap::Moved(uint64_t position, int64_t& shift) const {
  auto after =
      std::upper_bound(pieces_.begin(), pieces_.end(), position,
                       [](uint64_t at, const Piece& piece) { return at < piece.old_start; });
  if (after == pieces_.begin() || position >= (after - 1)->old_end) return false;
  shift = (after - 1)->shift;
  return true;
}

ReferencePredictor::ReferencePredictor(const ReferenceMap& map, uint64_t old_start, uint64_t length,
                                       uint64_t new_start)
    : map_(map),
      old_start_(old_start),
      length_(length),
      shift_(static_cast<int64_t>(new_start - old_start)) {}

size_t ReferencePredictor::PredictAt(const uint8_t* old, size_t available, uint64_t at,
                                     uint8_t* out, size_t& start) const {
  uint64_t position = old_start_ + at;
  int64_t moved;
  // The displacement `from` bytes in, where its target moved.
  auto displacement = [&](size_t from) {
    if (from + 4 > available) return size_t{0};
    int64_t target = static_cast<int64_t>(position + from + 4) +
                     static_cast<int32_t>(GetLittleEndian(old + from, 4));
    if (target < 0 || static_cast<uint64_t>(target) >= map_.old_size ||
        !map_.Moved(static_cast<uint64_t>(target), moved)) {
      return size_t{0};
    }
    PutLittleEndian(out, GetLittleEndian(old + from, 4) + static_cast<uint64_t>(moved - shift_), 4);
    start = from;
    return size_t{4};
  };
  if ((map_.kinds & kPointers) && available >= 8 && position % 8 == 0) {
    uint64_t value = GetLittleEndian(old, 8);
    uint64_t target = value - map_.base;
    if (target >= (64 << 10) && target < map_.old_size && map_.Moved(target, moved)) {
      PutLittleEndian(out, value + static_cast<uint64_t>(moved), 8);
      start = 0;
      return 8;
    }
  }
  if ((map_.kinds & kRelativeBranches) && available >= 5) {
    size_t from = old[0] == 0xE8 || old[0] == 0xE9            ? 1
                  : old[0] == 0x0F && (old[1] & 0xF0) == 0x80 ? 2
                                                              : 0;
    if (from && displacement(from)) return 4;
  }
  if ((map_.kinds & kRipRelative) && available >= 6 && (old[1] & 0xC7) == 0x05 &&
      IsRipOpcode(old[0]) && displacement(2)) {
    return 4;
  }
  return 0;
}

void ReferencePredictor::Predict(uint8_t* bytes, uint64_t at, size_t size, const uint8_t* ahead,
                                 size_t ahead_size) {
  uint64_t end = at + size;
  // A reference the last piece found, past its end.
  uint64_t pending_from = next_ - pending_size_;
  for (size_t i = 0; i < pending_size_; ++i) {
    if (pending_from + i >= at && pending_from + i < end)
      bytes[pending_from + i - at] = pending_[i];
  }
  if (next_ <= end) pending_size_ = 0;
  uint64_t k = std::max(next_, at);
  while (k < end) {
    uint8_t near[8];
    const uint8_t* old = bytes + (k - at);
    size_t available = static_cast<size_t>(std::min<uint64_t>(8, length_ - k));
    if (k + available > end) {  // the reference may run into `ahead`
      size_t inside = static_cast<size_t>(end - k);
      std::copy(old, old + inside, near);
      std::copy(ahead, ahead + std::min(available - inside, ahead_size), near + inside);
      available = inside + std::min(available - inside, ahead_size);
      old = near;
    }
    uint8_t predicted[8];
    size_t start = 0;
    size_t length = PredictAt(old, available, k, predicted, start);
    if (length == 0) {
      ++k;
      continue;
    }
    uint64_t from = k + start;
    for (size_t i = 0; i < length; ++i) {
      if (from + i < end) {
        bytes[from + i - at] = predicted[i];
      } else {
        pending_[pending_size_++] = predicted[i];
      }
    }
    k = from + length;
  }
  next_ = std::max(next_, k);
}

}  // namespace updater::package
