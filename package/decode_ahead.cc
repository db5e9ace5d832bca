#include "package/decode_ahead.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace updater::package {

DecodeAhead::DecodeAhead(std::unique_ptr<LzmaDecoder> decoder, std::vector<uint64_t> parts)
    : decoder_(std::move(decoder)), parts_(std::move(parts)) {
  // A block smaller than a buffer has nothing to overlap (a delta update's
  // lone files): it is decoded as it is asked for.
  uint64_t total = 0;
  for (uint64_t part : parts_) total += part;
  if (total < kBufferSize) return;
  buffers_.resize(kDepth * kBufferSize);
  thread_ = std::move(platform::StartThread(Run, this)).value_or(platform::Thread());
  if (!thread_) buffers_ = std::vector<uint8_t>();
}

DecodeAhead::~DecodeAhead() {
  monitor_.Lock();
  stop_ = true;
  monitor_.NotifyAll();
  monitor_.Unlock();
  thread_.Join();
}

void DecodeAhead::DecodePart(ByteSink& sink, Piece& ending) {
  ending.end = decoder_->Decode(parts_[next_part_], sink);
  bool last = ++next_part_ == parts_.size();
  ending.part_end = true;
  ending.consumed = decoder_->consumed();
  ending.os_error = decoder_->os_error();
  ending.ended_whole = last && ending.end == LzmaEnd::kDone && decoder_->EndedWhole();
}

void DecodeAhead::Work() {
  SinkTo fill([this](const uint8_t* data, size_t size) { return Fill(data, size); });
  while (next_part_ < parts_.size()) {
    Piece ending;
    DecodePart(fill, ending);
    if (!HandOn(&ending) || ending.end != LzmaEnd::kDone) return;
  }
}

bool DecodeAhead::Fill(const uint8_t* data, size_t size) {
  while (size > 0) {
    if (!holding_ && !Hold()) return false;
    Piece& piece = pieces_[filling_];
    size_t take = std::min(size, kBufferSize - piece.size);
    std::memcpy(&buffers_[filling_ * kBufferSize + piece.size], data, take);
    piece.size += take;
    data += take;
    size -= take;
    if (piece.size == kBufferSize && !HandOn(nullptr)) return false;
  }
  return true;
}

bool DecodeAhead::Hold() {
  monitor_.Lock();
  while (filled_ == kDepth && !stop_) monitor_.Wait();
  bool go_on = !stop_;
  monitor_.Unlock();
  if (!go_on) return false;
  // Free: the reader reads only the buffers handed on.
  pieces_[filling_] = Piece();
  holding_ = true;
  return true;
}

bool DecodeAhead::HandOn(const Piece* ending) {
  if (!holding_ && !Hold()) return false;  // a part's end with no bytes of its own
  Piece& piece = pieces_[filling_];
  if (ending) {
    size_t size = piece.size;
    piece = *ending;
    piece.size = size;
  }
  holding_ = false;
  monitor_.Lock();
  filling_ = (filling_ + 1) % kDepth;
  ++filled_;
  monitor_.NotifyAll();
  bool go_on = !stop_;
  monitor_.Unlock();
  return go_on;
}

LzmaEnd DecodeAhead::Decode(ByteSink& sink) {
  if (ended_) return end_;
  if (handed_parts_ == parts_.size()) return LzmaEnd::kDamaged;  // asked for more than there is
  if (!thread_) {
    Piece ending;
    DecodePart(sink, ending);
    return Ended(ending);
  }
  for (;;) {
    monitor_.Lock();
    while (filled_ == 0) monitor_.Wait();
    monitor_.Unlock();
    // The oldest buffer is the reader's until it is handed back.
    Piece piece = pieces_[oldest_];
    bool taken = piece.size == 0 || sink.Take(&buffers_[oldest_ * kBufferSize], piece.size);
    monitor_.Lock();
    oldest_ = (oldest_ + 1) % kDepth;
    --filled_;
    monitor_.NotifyAll();
    monitor_.Unlock();
    if (!taken) {
      piece.end = LzmaEnd::kSinkFailed;
      return Ended(piece);
    }
    if (piece.part_end) return Ended(piece);
  }
}

LzmaEnd DecodeAhead::Ended(const Piece& ending) {
  ++handed_parts_;
  if (ending.part_end) {
    consumed_ = ending.consumed;
    os_error_ = ending.os_error;
    ended_whole_ = ending.ended_whole;
  }
  if (ending.end != LzmaEnd::kDone) {
    ended_ = true;
    end_ = ending.end;
  }
  return ending.end;
}

}  // namespace updater::package
