// The content of each entry is one zlib stream (RFC 1950) written right after
// its record header (package/parallel_deflate writes them). No length is stored: the inflate side
// stops at the stream's end and gives back what it read beyond it, so the package stays positioned
// exactly at the next record.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "package/format.h"
#include "platform/file.h"
#include "platform/platform.h"

// zlib's stream state, which only content_stream.cc sees whole.
struct z_stream_s;

namespace updater::package {

class LzmaDecoder;

// The first read of the inflate pump; later reads double up to the largest,
// which is also the size of its output buffer.
inline constexpr size_t kStreamBufferSize = 1024;
inline constexpr size_t kInflateBufferSize = 256 * 1024;

// Receives inflated bytes; returning false fails the inflation (the sink
// keeps its own cause).
class ByteSink {
 public:
  virtual bool Take(const uint8_t* data, size_t size) = 0;

 protected:
  ~ByteSink() = default;
};

// A ByteSink that hands the bytes to `take(data, size)`.
template <typename F>
class SinkTo final : public ByteSink {
 public:
  explicit SinkTo(F take) : take_(take) {}
  bool Take(const uint8_t* data, size_t size) override { return take_(data, size); }

 private:
  F take_;
};

// How an inflation ended: each way out has its own value, as zlib's have.
enum class InflateEnd {
  kDone,        // the stream ended whole; the package is right after it
  kDamaged,     // bad data, a wrong Adler-32, or the package ends inside the stream
  kReadFailed,  // the OS refused a read of the package (`os_error`)
  kSinkFailed,  // the sink refused the bytes
};
struct InflateResult {
  InflateEnd end = InflateEnd::kDone;
  int os_error = 0;
};

// Inflates the zlib stream at the package's position into `sink` and leaves
// the package at the first byte after it.
InflateResult InflateStream(platform::File& package, ByteSink& sink);

// The window a delta's LZMA stream is decoded through, at most: four read
// side by side hold at most four times this.
inline constexpr uint32_t kDeltaStreamWindow = 16u << 20;

// The settings byte of a delta stream stored as it is (no LZMA settings byte
// is so large).
inline constexpr uint8_t kStoredStream = 0xFF;

// The settings byte of a delta stream whose bytes were taken as differences
// from the byte two before (16-bit samples: sounds, raw images), then coded
// with the settings kSampleDeltaContexts (lc 0, lp 1, pb 1). Not for
// literals coded after an old file, whose window holds the old bytes as
// they are.
inline constexpr uint8_t kSampleDeltaStream = 0xFE;
inline constexpr uint8_t kSampleDeltaContexts = (1 * 5 + 1) * 9 + 0;

// One of the four streams of a block of deltas: LZMA (or stored) that each
// file of the block reads its part of in turn, through a StreamPuller.
struct SharedStream {
  std::unique_ptr<LzmaDecoder> lzma;  // none: stored (or empty)
  int64_t next = 0, end = 0;          // stored: the next byte to read, and the end
  uint64_t left = 0;                  // bytes it decodes to that no file has taken
  // True when it ended exactly at its length, as a sound stream does.
  bool Whole() const;
};

// Reads the next `bytes` bytes of `shared` and drops them; false where it
// fails, `read` then holding a failed read's error.
bool SkipShared(const platform::File& file, SharedStream& shared, uint64_t bytes,
                platform::Status& read);

// A stream of known length at a known place in a file, decoded as its bytes
// are asked for, read by position: several may be read side by side. A zlib
// stream, or (`lzma`) a byte of LZMA settings (as package/lzma_decoder.h
// writes them), the count of bytes it decodes to (4 bytes) and a raw LZMA
// stream of the rest, decoded through at most kDeltaStreamWindow (literals
// coded after an old file: kMaxLzmaDictionary); or
// kStoredStream, that count, and the bytes themselves (where LZMA would
// only make them larger).
class StreamPuller {
 public:
  // Given `shared`, the next `length` bytes of that (a file's part of a
  // block's stream) instead. An LZMA stream coded after an old file ("dlzo"
  // literals, `after_old`) starts with `old` in its window, which it takes
  // over; with no `old` at hand it is only counted: it gives zeros of its
  // stated size, its coded bytes unread.
  StreamPuller(const platform::File& file, int64_t start, uint32_t length, bool lzma = false,
               SharedStream* shared = nullptr, bool after_old = false,
               std::vector<uint8_t>* old = nullptr);
  ~StreamPuller();
  StreamPuller(const StreamPuller&) = delete;
  StreamPuller& operator=(const StreamPuller&) = delete;

  // Up to `size` inflated bytes into `out`: fewer only at the stream's end
  // or a fault (damaged data, a failed read, which `read` then holds).
  size_t Pull(uint8_t* out, size_t size);

  // One inflated byte into `byte`; false at the stream's end or a fault.
  bool PullByte(uint8_t& byte) {
    if (out_at_ == out_end_ && !Refill()) return false;
    byte = out_[out_at_++];
    return true;
  }

  // True when the stream ended whole exactly at its length, with no byte
  // left that was not pulled.
  bool Ended();

  platform::Status read;

 private:
  const platform::File& file_;
  int64_t next_, end_;  // the next byte to read, and the stream's end
  // Decodes into out_ what follows; false when nothing more comes.
  bool Refill();
  bool RefillLzma();

  std::unique_ptr<z_stream_s> zs_;
  std::unique_ptr<LzmaDecoder> lzma_;
  SharedStream* shared_ = nullptr;  // a part of it, in place of lzma_ and next_
  bool lzma_mode_ = false;
  bool counted_ = false;    // an LZMA stream only counted (coded after an old file not at hand)
  uint64_t lzma_left_ = 0;  // bytes the LZMA stream decodes to that are not in out_ yet
  bool usable_ = false;
  bool ended_ = false;  // inflate said Z_STREAM_END
  uint8_t in_[16 * 1024];
  uint8_t out_[16 * 1024];  // inflated, from out_at_ to out_end_ not yet pulled
  size_t out_at_ = 0, out_end_ = 0;
};

}  // namespace updater::package
