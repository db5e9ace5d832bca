#include "package/content_stream.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "package/lzma_decoder.h"

namespace updater::package {

namespace {

// Ends a zlib stream on every path out of a pump.
class ZStreamGuard {
 public:
  ZStreamGuard(z_stream& stream, int (*end)(z_streamp)) : stream_(stream), end_(end) {}
  ~ZStreamGuard() { end_(&stream_); }
  ZStreamGuard(const ZStreamGuard&) = delete;
  ZStreamGuard& operator=(const ZStreamGuard&) = delete;

 private:
  z_stream& stream_;
  int (*end_)(z_streamp);
};

void TraceZlibMessage(const z_stream& stream) {
  if (stream.msg) platform::DebugOutputA(stream.msg);
}

}  // namespace

InflateResult InflateStream(platform::File& package, ByteSink& sink) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    TraceZlibMessage(zs);
    return {InflateEnd::kDamaged, 0};
  }
  ZStreamGuard guard(zs, inflateEnd);
  std::unique_ptr<uint8_t[]> buffers(new uint8_t[2 * kInflateBufferSize]);
  uint8_t* in = buffers.get();
  uint8_t* out = in + kInflateBufferSize;
  // Reads start small and grow: a small entry then gives back little of
  // what follows it, a large one is read in large blocks.
  size_t want = kStreamBufferSize;
  int ret = Z_OK;
  while (ret != Z_STREAM_END) {
    size_t got = package.Read(in, want);
    if (got == 0) {
      platform::Status read = package.status();
      if (!read) return {InflateEnd::kReadFailed, read.error()};
      return {InflateEnd::kDamaged, 0};  // the package ends inside the stream
    }
    want = want * 2 > kInflateBufferSize ? kInflateBufferSize : want * 2;
    zs.next_in = in;
    zs.avail_in = static_cast<uInt>(got);
    do {
      zs.next_out = out;
      zs.avail_out = kInflateBufferSize;
      ret = inflate(&zs, Z_NO_FLUSH);
      if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) {
        return {InflateEnd::kDamaged, 0};
      }
      size_t have = kInflateBufferSize - zs.avail_out;
      if (have > 0 && !sink.Take(out, have)) return {InflateEnd::kSinkFailed, 0};
    } while (zs.avail_out == 0 && ret != Z_STREAM_END);
  }
  // The last read may have taken the start of the next record: give it back.
  if (zs.avail_in == 0) return {};
  platform::Status back = package.Seek(-static_cast<int64_t>(zs.avail_in), SEEK_CUR);
  if (!back) return {InflateEnd::kReadFailed, back.error()};
  return {};
}

StreamPuller::StreamPuller(const platform::File& file, int64_t start, uint32_t length, bool lzma,
                           SharedStream* shared, bool after_old, std::vector<uint8_t>* old)
    : file_(file), next_(start), end_(start + length), zs_(new z_stream_s{}), lzma_mode_(lzma) {
  if (shared) {  // read from the shared stream's place: none of its own
    shared_ = shared;
    next_ = end_;
    lzma_left_ = length;
    usable_ = length <= shared->left;
    ended_ = usable_ && length == 0;
    return;
  }
  if (!lzma) {
    usable_ = inflateInit(zs_.get()) == Z_OK;
    return;
  }
  uint8_t head[5];
  LzmaProps props;
  if (length < sizeof head || file.ReadAt(start, head, sizeof head, &read) != sizeof head) return;
  lzma_left_ = GetLittleEndian(head + 1, 4);
  next_ += sizeof head;
  if (head[0] == kStoredStream) {  // the bytes as they are, all the rest
    usable_ = lzma_left_ == length - sizeof head;
    ended_ = usable_ && lzma_left_ == 0;
    return;
  }
  const bool deltas = head[0] == kSampleDeltaStream;
  if (!LzmaPropsFromByte(deltas ? kSampleDeltaContexts : head[0], props) || (deltas && after_old)) {
    return;
  }
  // Literals coded after the old file see all of it: it may fill the largest window.
  props.dictionary = after_old ? kMaxLzmaDictionary : kDeltaStreamWindow;
  next_ = end_;
  usable_ = true;
  // An empty stream is the five bytes alone.
  counted_ = after_old && !old && lzma_left_ > 0;
  if (lzma_left_ > 0 && !counted_) {
    uint32_t preset = after_old ? static_cast<uint32_t>(old->size()) : 0;
    lzma_.reset(
        new LzmaDecoder(file, start + 5, length - 5, lzma_left_, props, old, preset, preset));
    lzma_->sample_deltas = deltas;
  }
  ended_ = !lzma_ && !counted_ && length == sizeof head;
}

bool SkipShared(const platform::File& file, SharedStream& shared, uint64_t bytes,
                platform::Status& read) {
  for (uint64_t rest = bytes; rest > 0;) {
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(rest, 1u << 30));
    StreamPuller part(file, 0, piece, true, &shared);
    uint8_t buffer[4096];
    while (part.Pull(buffer, sizeof buffer) > 0) {
    }
    read = part.read;
    if (!read || !part.Ended()) return false;
    rest -= piece;
  }
  return true;
}

bool SharedStream::Whole() const { return lzma ? lzma->EndedWhole() : left == 0 && next == end; }

// A zlib stream never started is ended as well as any.
StreamPuller::~StreamPuller() { inflateEnd(zs_.get()); }

bool StreamPuller::RefillLzma() {
  size_t want = static_cast<size_t>(std::min<uint64_t>(lzma_left_, sizeof out_));
  out_at_ = out_end_ = 0;
  if (want == 0 || !usable_) return false;
  if (counted_) {
    std::memset(out_, 0, want);
    out_end_ = want;
    lzma_left_ -= want;
    ended_ = lzma_left_ == 0;
    return true;
  }
  LzmaDecoder* lzma = shared_ ? shared_->lzma.get() : lzma_.get();
  if (!lzma) {  // stored
    int64_t& next = shared_ ? shared_->next : next_;
    out_end_ = file_.ReadAt(next, out_, want, &read);
    next += static_cast<int64_t>(out_end_);
    lzma_left_ -= out_end_;
    if (shared_) shared_->left -= out_end_;
    ended_ = lzma_left_ == 0;
    return out_end_ > 0;
  }
  SinkTo into([this](const uint8_t* data, size_t size) {
    std::memcpy(out_ + out_end_, data, size);
    out_end_ += size;
    return true;
  });
  if (lzma->Decode(want, into) != LzmaEnd::kDone) {
    if (lzma->os_error()) read = platform::Status::Error(lzma->os_error());
    usable_ = false;
    out_end_ = 0;
    return false;
  }
  for (size_t i = 0; lzma->sample_deltas && i < want; ++i) {
    const auto byte = static_cast<uint8_t>(out_[i] + lzma->made[0]);
    lzma->made[0] = lzma->made[1];
    lzma->made[1] = out_[i] = byte;
  }
  lzma_left_ -= want;
  // A part of a block ends at its length: the block's reader checks that
  // the whole stream ends soundly after its last part.
  if (shared_) shared_->left -= want;
  ended_ = lzma_left_ == 0 && (shared_ || lzma->EndedWhole());
  return true;
}

bool StreamPuller::Refill() {
  if (lzma_mode_) return RefillLzma();
  zs_->next_out = out_;
  zs_->avail_out = sizeof out_;
  while (usable_ && !ended_ && zs_->avail_out > 0) {
    if (zs_->avail_in == 0) {
      size_t want = static_cast<size_t>(std::min<int64_t>(end_ - next_, sizeof in_));
      size_t got = want ? file_.ReadAt(next_, in_, want, &read) : 0;
      if (got == 0) break;  // the stream's length ends inside it, or a read failed
      next_ += static_cast<int64_t>(got);
      zs_->next_in = in_;
      zs_->avail_in = static_cast<uInt>(got);
    }
    int ret = inflate(zs_.get(), Z_NO_FLUSH);
    ended_ = ret == Z_STREAM_END;
    if (ret != Z_OK && ret != Z_STREAM_END) usable_ = false;
  }
  out_at_ = 0;
  out_end_ = sizeof out_ - zs_->avail_out;
  return out_end_ > 0;
}

size_t StreamPuller::Pull(uint8_t* out, size_t size) {
  size_t done = 0;
  while (done < size && (out_at_ < out_end_ || Refill())) {
    size_t take = std::min(size - done, out_end_ - out_at_);
    std::memcpy(out + done, out_ + out_at_, take);
    out_at_ += take;
    done += take;
  }
  return done;
}

bool StreamPuller::Ended() {
  if (out_at_ < out_end_ || (!ended_ && Refill())) return false;  // bytes nobody asked for
  return ended_ && zs_->avail_in == 0 && next_ == end_;
}

}  // namespace updater::package
