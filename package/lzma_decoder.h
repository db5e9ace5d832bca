// Decodes raw LZMA streams: LZ77 over a window of up to kMaxLzmaDictionary
// bytes, with adaptive binary range coding. A stream has no header and no
// end marker here: the record that carries it states its properties, its
// packed length and how many bytes it decodes to.
//
// The decoder streams: it keeps only the window, hands out bytes as asked
// (a solid stream's files one after the other, each into its own sink) and
// reads the package in blocks, never past the stream's packed length.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "package/content_stream.h"
#include "platform/file.h"

namespace updater::package {

// The largest window a package may ask for: what applying an update holds in
// memory for it, at most.
inline constexpr uint32_t kMaxLzmaDictionary = 64u << 20;

// The coder's settings: literal context bits, literal position bits, position
// bits, and the window.
struct LzmaProps {
  uint8_t lc = 3, lp = 0, pb = 2;
  uint32_t dictionary = 1u << 20;
};

// The one-byte form of lc, lp and pb, (pb * 5 + lp) * 9 + lc; and back,
// false for a byte no stream may use (lc + lp at most 4 here).
uint8_t LzmaPropsByte(const LzmaProps& props);
bool LzmaPropsFromByte(uint8_t byte, LzmaProps& props);

// How a decode ended, as InflateEnd says.
using LzmaEnd = InflateEnd;

struct LengthProbs;

class LzmaDecoder {
 public:
  // A stream with `props` that decodes to `unpacked` bytes from `packed`
  // bytes at `start` in `package`, read by position (so that several may be
  // read side by side). The window is never larger than the stream needs;
  // given `window`, the decoder uses that one, which may stay allocated for
  // the next stream (its memory taken and touched once, not per stream).
  // A stream with a `preset` starts with the `preset` bytes of `window` that
  // end at `preset_end` (the window a ring) in its window, as if it had
  // decoded them: its matches may reach into them. The caller keeps
  // `preset` within both windows.
  LzmaDecoder(const platform::File& package, int64_t start, uint32_t packed, uint64_t unpacked,
              const LzmaProps& props, std::vector<uint8_t>* window = nullptr, uint32_t preset = 0,
              size_t preset_end = 0);
  ~LzmaDecoder();
  LzmaDecoder(const LzmaDecoder&) = delete;
  LzmaDecoder& operator=(const LzmaDecoder&) = delete;

  // The next `size` bytes of the stream into `sink`.
  LzmaEnd Decode(uint64_t size, ByteSink& sink);

  // After the last byte: true when the stream ended exactly at its packed
  // length with the range coder's code at zero, as a sound stream does.
  bool EndedWhole();

  // The bytes of the stream read so far.
  int64_t consumed() const {
    return int64_t{packed_} - packed_left_ - static_cast<int64_t>(in_end_ - in_at_);
  }

  // The OS error of a failed read.
  int os_error() const { return os_error_; }

  // A stream of differences from the byte two before (kSampleDeltaStream):
  // its reader adds each to the byte it made two before, the last two kept
  // here, so that the stream's parts may be read by one reader after another.
  bool sample_deltas = false;
  uint8_t made[2] = {};

 private:
  struct State;
  struct RangeCoder;
  bool Refill();
  LzmaEnd Flush(ByteSink& sink);

  const platform::File& package_;
  int64_t next_;                   // where the next read starts
  uint32_t packed_, packed_left_;  // bytes of the stream not yet read from the package
  uint64_t unpacked_left_;
  std::unique_ptr<State> state_;
  std::vector<uint8_t> in_;
  size_t in_at_ = 0, in_end_ = 0;
  int os_error_ = 0;
  bool damaged_ = false;
};

}  // namespace updater::package
