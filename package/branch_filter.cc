#include "package/branch_filter.h"

#include <algorithm>

#include "package/format.h"

namespace updater::package {

void SplitBranches(const uint8_t* piece, size_t size, uint64_t position, const SplitMoves& moves,
                   std::vector<uint8_t>& coded) {
  std::vector<uint8_t> bits, targets, rest;
  rest.reserve(size);
  // Targets are kept to 32 bits: past 4 GiB nothing moves.
  const uint64_t reach = std::min<uint64_t>(moves.file_size, uint64_t{1} << 32);
  uint32_t candidates = 0;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t byte = piece[i];
    rest.push_back(byte);
    if (i + 5 > size || !TakesDisplacement(i > 0 ? piece[i - 1] : 0, byte)) continue;
    if (candidates % 8 == 0) bits.push_back(0);
    const uint64_t next = position + i + 5;  // the displacement counts from here
    const auto displacement = static_cast<int32_t>(GetLittleEndian(piece + i + 1, 4));
    const uint64_t target = next + static_cast<uint64_t>(int64_t{displacement});
    const bool branch = (byte & 0xFE) == 0xE8 || (byte & 0xF0) == 0x80;
    if (target < reach && position + i >= moves.code_from && position + i < moves.code_to &&
        (branch || moves.operands)) {
      bits.back() |= static_cast<uint8_t>(1 << (candidates % 8));
      uint8_t value[4];
      for (int k = 0; k < 4; ++k) value[k] = static_cast<uint8_t>(target >> (24 - 8 * k));
      targets.insert(targets.end(), value, value + 4);
      i += 4;
    }
    ++candidates;
  }
  uint8_t count[4];
  PutLittleEndian(count, candidates, 4);
  coded.insert(coded.end(), count, count + 4);
  coded.insert(coded.end(), bits.begin(), bits.end());
  coded.insert(coded.end(), targets.begin(), targets.end());
  coded.insert(coded.end(), rest.begin(), rest.end());
}

namespace {
constexpr size_t kMade = 64 * 1024;  // bytes handed on at once, at most
}  // namespace

BranchJoiner::BranchJoiner(uint64_t file_size, ByteSink& out)
    : file_size_(file_size), out_(out) {
  StartPiece();
}

void BranchJoiner::StartPiece() {
  piece_ = static_cast<size_t>(std::min<uint64_t>(kSplitPiece, file_size_ - position_));
  at_ = 0;
  head_.clear();
  head_size_ = piece_ > 0 ? 4 : 0;
  targets_at_ = 0;
  candidates_ = candidate_ = targets_ = target_ = 0;
  before_ = 0;
}

bool BranchJoiner::Take(const uint8_t* data, size_t size) {
  made_.resize(kMade + 4);  // here, not at construction: most files are not split
  while (size > 0) {
    if (position_ == file_size_) {  // bytes past the file's last piece
      broken_ = true;
      break;
    }
    if (head_.size() < head_size_) {
      TakeHead(data, size);
    } else if (!TakeCode(data, size)) {
      return false;
    }
  }
  bool handed = out_.Take(made_.data(), made_size_);
  made_size_ = 0;
  return handed;
}

void BranchJoiner::TakeHead(const uint8_t*& data, size_t& size) {
  const size_t take = std::min(size, head_size_ - head_.size());
  head_.insert(head_.end(), data, data + take);
  data += take;
  size -= take;
  if (head_.size() < head_size_) return;
  if (targets_at_ > 0) return;  // the head is whole
  if (head_size_ == 4) {          // the count is read: its bits follow
    candidates_ = static_cast<uint32_t>(GetLittleEndian(head_.data(), 4));
    if (candidates_ > piece_) broken_ = true, candidates_ = 0;
    head_size_ += (candidates_ + 7) / 8;
    if (head_.size() < head_size_) return;
  }
  // The bits are read: the targets follow.
  targets_at_ = head_size_;
  for (size_t i = 4; i < head_size_; ++i) {
    for (uint8_t bits = head_[i]; bits; bits &= bits - 1) ++targets_;
  }
  head_size_ += 4 * size_t{targets_};
}

bool BranchJoiner::TakeCode(const uint8_t*& data, size_t& size) {
  while (size > 0 && at_ < piece_ && made_size_ < kMade) {
    const uint8_t byte = *data++;
    --size;
    made_[made_size_++] = byte;
    ++at_;
    const uint8_t before = before_;
    before_ = byte;
    if (at_ + 4 > piece_ || !TakesDisplacement(before, byte)) continue;
    if (candidate_ == candidates_) {
      broken_ = true;
      continue;
    }
    const bool moved = head_[4 + candidate_ / 8] >> (candidate_ % 8) & 1;
    ++candidate_;
    if (!moved || target_ == targets_) continue;
    const uint32_t value = GetBigEndian32(head_.data() + targets_at_ + 4 * size_t{target_++}) -
                           static_cast<uint32_t>(position_ + at_ + 4);
    PutLittleEndian(made_.data() + made_size_, value, 4);
    made_size_ += 4;
    at_ += 4;
    before_ = static_cast<uint8_t>(value >> 24);
  }
  if (made_size_ >= kMade) {
    if (!out_.Take(made_.data(), made_size_)) return false;
    made_size_ = 0;
  }
  if (at_ == piece_) {  // the piece is made: the next one's head follows
    if (candidate_ != candidates_ || target_ != targets_) broken_ = true;
    position_ += piece_;
    StartPiece();
  }
  return true;
}

}  // namespace updater::package
