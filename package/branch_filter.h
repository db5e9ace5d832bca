#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "package/content_stream.h"

namespace updater::package {

// The split branch filter, for x86 and x86-64 code: the displacement after
// each opcode that takes one from the next instruction (a CALL, a JMP, a
// conditional jump, or an operand addressed from the next instruction) is
// made absolute and moved out of the code into a table of its own, where
// the same target reads the same and the code reads without it. A file is
// coded in pieces of kSplitPiece bytes, each as:
//   u32   how many such opcodes the piece holds (its candidates)
//   bits  a byte per 8 candidates, lowest bit first: 1 where the displacement moved
//   u32   big-endian, each moved displacement plus the file offset of the byte after it
//   ...   the piece's other bytes, in order
// A candidate ends at or before the piece's fifth last byte and is not one
// of a moved displacement's bytes. The encoder moves those whose target
// lies inside the file; the decoder reads the bits.
inline constexpr size_t kSplitPiece = 4 << 20;

// The most bytes the filter adds to a file of `size` bytes: each piece's
// count and bits.
inline uint64_t MostSplitBytes(uint64_t size) {
  return (size / kSplitPiece + 1) * (4 + kSplitPiece / 8);
}

// Whether `byte` after `before` (0 at a piece's start) ends such an opcode:
// E8 or E9, 0F 80 to 0F 8F, or a ModRM of mode 00 and r/m 101 after one of
// the opcodes that x86-64 code most often addresses so (MOV, LEA, MOVSXD,
// ADD, OR, AND, SUB, XOR, CMP, TEST, and CALL or JMP through a pointer).
inline bool TakesDisplacement(uint8_t before, uint8_t byte) {
  static constexpr uint8_t kAddressing[] = {0x03, 0x0B, 0x23, 0x2B, 0x33, 0x39, 0x3B,
                                            0x63, 0x85, 0x89, 0x8B, 0x8D, 0xFF};
  if ((byte & 0xFE) == 0xE8 || (before == 0x0F && (byte & 0xF0) == 0x80)) return true;
  return (byte & 0xC7) == 0x05 && std::memchr(kAddressing, before, sizeof kAddressing);
}

// Which displacements a build moves: those whose opcode lies in the file's
// code, [code_from, code_to), and whose target lies in the file (below
// 4 GiB); the operands' only in x86-64 code (32-bit code's are absolute).
struct SplitMoves {
  uint64_t file_size = 0, code_from = 0, code_to = UINT64_MAX;
  bool operands = true;
};

// Appends the coded form of `piece[0, size)`, the bytes of a file from
// `position` (a multiple of kSplitPiece) on, to `coded`.
void SplitBranches(const uint8_t* piece, size_t size, uint64_t position, const SplitMoves& moves,
                   std::vector<uint8_t>& coded);

// Makes a file of `file_size` bytes again from its coded pieces, taken in
// order, and hands its bytes to `out`. Coded bytes that do not read as
// pieces make other bytes (the file's SHA-256 then tells), never more than
// the file's size; Whole() tells whether they ended exactly as a file.
class BranchJoiner final : public ByteSink {
 public:
  BranchJoiner(uint64_t file_size, ByteSink& out);
  bool Take(const uint8_t* data, size_t size) override;
  bool Whole() const { return !broken_ && position_ == file_size_; }

 private:
  void StartPiece();
  void TakeHead(const uint8_t*& data, size_t& size);
  bool TakeCode(const uint8_t*& data, size_t& size);

  const uint64_t file_size_;
  ByteSink& out_;
  uint64_t position_ = 0;      // in the file, of the current piece
  size_t piece_ = 0, at_ = 0;  // its size, and how many of its bytes are made
  // Its head as far as read (`head_size_` bytes when whole): the count,
  // the bits, then from `targets_at_` (0 until the bits are read) the targets.
  std::vector<uint8_t> head_;
  size_t head_size_ = 0, targets_at_ = 0;
  uint32_t candidates_ = 0, candidate_ = 0, targets_ = 0, target_ = 0;
  uint8_t before_ = 0;
  bool broken_ = false;
  std::vector<uint8_t> made_;  // bytes made, to hand on: `made_size_` of them
  size_t made_size_ = 0;
};

}  // namespace updater::package
