// A solid block's stream decoded on a thread of its own, ahead of the files
// that take their parts of it in turn, through a ring of a few buffers: the
// next bytes are decoded while the last ones are filtered, hashed and
// written, as a decompressor piped into an extractor would. Only reads of the
// package by position happen on that thread; every write stays on the
// caller's. Each part ends its buffer, so what a part took of the stream
// stays known exactly.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "package/lzma_decoder.h"
#include "platform/platform.h"

namespace updater::package {

class DecodeAhead {
 public:
  // Decodes `decoder`'s stream in `parts` (the sizes of the block's files,
  // in order). Where no thread starts, or the block is smaller than one
  // buffer, each part is decoded on the caller's as it is asked for.
  DecodeAhead(std::unique_ptr<LzmaDecoder> decoder, std::vector<uint64_t> parts);
  ~DecodeAhead();  // stops the thread, wherever it is
  DecodeAhead(const DecodeAhead&) = delete;
  DecodeAhead& operator=(const DecodeAhead&) = delete;

  // The next part into `sink`, as LzmaDecoder::Decode. After a part that did
  // not end kDone, every later one ends as it did.
  LzmaEnd Decode(ByteSink& sink);

  // The bytes of the stream read up to the end of the part handed on last.
  int64_t consumed() const { return consumed_; }
  // The OS error of a failed read.
  int os_error() const { return os_error_; }
  // After the last part: as LzmaDecoder::EndedWhole.
  bool EndedWhole() const { return ended_whole_; }

 private:
  static constexpr size_t kDepth = 4;
  static constexpr size_t kBufferSize = 256 * 1024;

  // A buffer of the ring, and where it ends a part, how the part ended.
  struct Piece {
    size_t size = 0;
    bool part_end = false;
    LzmaEnd end = LzmaEnd::kDone;
    int64_t consumed = 0;
    int os_error = 0;
    bool ended_whole = false;
  };

  static void Run(void* self) { static_cast<DecodeAhead*>(self)->Work(); }
  void Work();
  // Decodes the next part on this thread, telling into `ending` how it ended.
  void DecodePart(ByteSink& sink, Piece& ending);
  // On the decoding thread, each false once the reader has stopped: copies
  // decoded bytes into the ring; waits for a free buffer to fill; hands on
  // the buffer being filled, as the end of a part where `ending` is given.
  bool Fill(const uint8_t* data, size_t size);
  bool Hold();
  bool HandOn(const Piece* ending);
  // Takes the ending of a part for the reader's own.
  LzmaEnd Ended(const Piece& ending);

  std::unique_ptr<LzmaDecoder> decoder_;
  std::vector<uint64_t> parts_;
  size_t next_part_ = 0;  // decoded next, on the thread that decodes
  size_t handed_parts_ = 0;
  std::vector<uint8_t> buffers_;  // kDepth of them, back to back
  Piece pieces_[kDepth];
  size_t filling_ = 0, oldest_ = 0, filled_ = 0;
  bool holding_ = false;  // the decoding thread holds buffer filling_
  bool stop_ = false;
  bool ended_ = false;  // a part did not end kDone: no more are decoded
  LzmaEnd end_ = LzmaEnd::kDone;
  int64_t consumed_ = 0;
  int os_error_ = 0;
  bool ended_whole_ = false;
  platform::Monitor monitor_;
  platform::Thread thread_;
};

}  // namespace updater::package
