#include "package/deflate_form.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "package/delta.h"

namespace updater::package {
namespace {

constexpr uint8_t kIdat[4] = {'I', 'D', 'A', 'T'};
constexpr uint32_t kFrame = 12;  // an IDAT chunk's length, type and CRC

// A varint of at most `most` into `value`.
bool PullNumber(StreamPuller& in, uint32_t most, uint32_t& value) {
  uint64_t number = 0;
  uint8_t byte = 0x80;
  for (int shift = 0; byte & 0x80; shift += 7) {
    if (shift > 35 || !in.PullByte(byte)) return false;
    number |= static_cast<uint64_t>(byte & 0x7F) << shift;
  }
  value = static_cast<uint32_t>(number);
  return number <= most;
}

void PutBigEndian(uint8_t* out, uint32_t value) {
  for (int i = 3; i >= 0; --i, value >>= 8) out[i] = static_cast<uint8_t>(value);
}

int WindowBits(StreamForm form, int bits) { return form == StreamForm::kRawDeflate ? -bits : bits; }

}  // namespace

uint32_t DeflateSettings::Number() const {
  return level | static_cast<uint32_t>(mem_level - 8) << 4 | (filtered ? 64u : 0u) |
         static_cast<uint32_t>(window_bits - 8) << 7;
}

bool DeflateSettings::FromNumber(uint32_t number, DeflateSettings& settings) {
  settings.level = number & 15;
  settings.mem_level = static_cast<uint8_t>((number >> 4 & 3) + 8);
  settings.filtered = (number & 64) != 0;
  settings.window_bits = static_cast<uint8_t>((number >> 7) + 8);
  return settings.level >= 1 && settings.level <= 9 && settings.mem_level <= kZipBlocks &&
         number >> 7 >= 1;
}

void AppendDeflateMap(std::vector<uint8_t>& ops, const DeflateMap& map) {
  for (const std::vector<MapStream>* streams : {&map.olds, &map.news}) {
    AppendVarint(ops, streams->size());
    uint32_t end = 0;
    for (const MapStream& s : *streams) {
      for (uint32_t field : {s.at - end, s.packed, s.inflated, uint32_t(s.form)}) {
        AppendVarint(ops, field);
      }
      end = s.at + s.framed;
      if (streams == &map.olds) continue;
      AppendVarint(ops, s.settings.Number() | (s.samples ? kSampledStream : 0));
      if (s.form == StreamForm::kPngImage) AppendVarint(ops, s.chunk);
      if (s.samples) AppendVarint(ops, s.samples);
    }
  }
}

bool ReadDeflateMap(StreamPuller& ops, uint64_t old_size, uint64_t new_size, DeflateMap& map) {
  // The most each field may be: step, packed, inflated, form, settings, chunk.
  static constexpr uint32_t kMost[6] = {kMaxFormSize,           kMaxFormSize, kMaxInflatedStream, 2,
                                        kSampledStream | 0x3FF, kMaxFormSize};
  for (int side = 0; side < 2; ++side) {
    std::vector<MapStream>& streams = side ? map.news : map.olds;
    uint64_t file = side ? new_size : old_size;
    uint32_t count, end = 0;
    uint64_t inflated_at = 0;  // where the next stream starts in the inflated file
    if (file > kMaxFormSize || !PullNumber(ops, kMaxMapStreams, count)) return false;
    std::vector<MapStream>(count).swap(streams);
    for (MapStream& s : streams) {
      uint32_t f[6] = {}, samples = 0;
      for (int i = 0; i < 4 + side; ++i) {
        if (!PullNumber(ops, kMost[i], f[i])) return false;
      }
      // A new PNG's chunk size, then a sampled stream's form, follow its settings.
      const bool png = side && f[3] == uint32_t(StreamForm::kPngImage);
      if ((png && (!PullNumber(ops, kMost[5], f[5]) || f[5] == 0)) ||
          ((f[4] & kSampledStream) && (!PullNumber(ops, kMostSampleForm, samples) || !samples))) {
        return false;
      }
      s.packed = s.framed = f[1];
      s.inflated = f[2];
      s.form = StreamForm(f[3]);
      s.chunk = f[5];
      s.samples = static_cast<uint8_t>(samples);
      if (f[1] == 0 || f[2] == 0 ||
          (side && !DeflateSettings::FromNumber(f[4] & ~kSampledStream, s.settings))) {
        return false;
      }
      if (png) s.framed += (f[1] / f[5] + (f[1] % f[5] != 0)) * 12;  // each chunk's frame
      s.at = end + f[0];
      inflated_at += f[0];
      s.inflated_at = static_cast<uint32_t>(inflated_at);
      inflated_at += s.inflated;
      if (uint64_t{end} + f[0] + s.framed > file || inflated_at > kMaxFormSize) return false;
      end = s.at + s.framed;
    }
    inflated_at += file - end;
    if (inflated_at > kMaxFormSize) return false;
    (side ? map.new_size : map.old_size) = static_cast<uint32_t>(inflated_at);
  }
  map.old_file = static_cast<uint32_t>(old_size);
  return true;
}

Redeflater::Redeflater(const DeflateMap& map, ByteSink& out) : map_(map), out_(out) {}

Redeflater::~Redeflater() {
  if (zs_) deflateEnd(zs_.get());
}

bool Redeflater::Feed(const uint8_t* data, size_t size) {
  while (size > 0 && !failed_) {
    uint32_t take = size > kDeflatePiece ? kDeflatePiece : static_cast<uint32_t>(size);
    if (!zs_) {  // between streams: the bytes are the file's own
      uint32_t until = next_ < map_.news.size() ? map_.news[next_].inflated_at : UINT32_MAX;
      if (at_ == until) {
        failed_ = !Start();
        continue;
      }
      take = std::min(take, until - at_);
      failed_ = !out_.Take(data, take);
    } else {
      const MapStream& made = map_.news[next_];
      take =
          std::min(std::min(take, made.inflated_at + made.inflated - at_), kDeflatePiece - held_);
      std::memcpy(piece_.data() + held_, data, take);
      if (samples_) samples_->Code(piece_.data() + held_, take);
      held_ += take;
      bool last = at_ + take == made.inflated_at + made.inflated;
      if (last || held_ == kDeflatePiece) failed_ = !Deflate(last);
    }
    at_ += take;
    data += take;
    size -= take;
  }
  return !failed_;
}

bool Redeflater::Finish() { return !failed_ && !zs_ && next_ == map_.news.size(); }

bool Redeflater::Start() {
  const MapStream& made = map_.news[next_];
  zs_.reset(new z_stream_s{});
  const DeflateSettings& s = made.settings;
  piece_.resize(kDeflatePiece);
  made_.resize(16 << 10);
  held_ = deflated_ = chunk_left_ = 0;
  samples_.reset();
  if (made.samples) samples_.emplace(made.samples, false);
  if (deflateInit2(zs_.get(), s.level, Z_DEFLATED, WindowBits(made.form, s.window_bits),
                   s.mem_level, s.filtered ? Z_FILTERED : Z_DEFAULT_STRATEGY) == Z_OK) {
    return true;
  }
  zs_.reset();
  return false;
}

bool Redeflater::Deflate(bool last) {
  zs_->next_in = piece_.data();
  zs_->avail_in = held_;
  int result;
  do {
    zs_->next_out = made_.data();
    zs_->avail_out = static_cast<uInt>(made_.size());
    result = deflate(zs_.get(), last ? Z_FINISH : Z_NO_FLUSH);
    if (result == Z_STREAM_ERROR || (last && result == Z_BUF_ERROR) ||
        !Emit(made_.data(), static_cast<uint32_t>(made_.size() - zs_->avail_out))) {
      return false;
    }
  } while (zs_->avail_out == 0 || (last && result != Z_STREAM_END));
  held_ = 0;
  if (!last) return true;
  deflateEnd(zs_.get());
  zs_.reset();
  return deflated_ == map_.news[next_++].packed && chunk_left_ == 0;
}

// The deflated bytes of the stream being made, framed as its form frames them.
bool Redeflater::Emit(const uint8_t* data, uint32_t size) {
  const MapStream& made = map_.news[next_];
  bool png = made.form == StreamForm::kPngImage;
  while (size > 0) {
    uint8_t frame[8];
    if (png && chunk_left_ == 0) {  // a chunk starts: its length and type
      chunk_left_ = std::min(made.chunk, made.packed - deflated_);
      PutBigEndian(frame, chunk_left_);
      std::memcpy(frame + 4, kIdat, 4);
      crc_ = static_cast<uint32_t>(crc32(0, kIdat, 4));
      if (!out_.Take(frame, 8)) return false;
    }
    uint32_t take = size;
    if (png) {
      take = std::min(size, chunk_left_);
      crc_ = static_cast<uint32_t>(crc32(crc_, data, take));
    }
    if (!out_.Take(data, take)) return false;
    deflated_ += take;
    data += take;
    size -= take;
    if (png && (chunk_left_ -= take) == 0) {  // and its CRC ends it
      PutBigEndian(frame, crc_);
      if (!out_.Take(frame, 4)) return false;
    }
  }
  return true;
}

bool InflatedOld::Read(uint64_t offset, uint8_t* out, size_t size, platform::Status& read) {
  const std::vector<MapStream>& olds = map_.olds;
  // Every position is below kMaxFormSize, as DeltaOps checks them against the map's sizes.
  uint32_t at = static_cast<uint32_t>(offset);
  while (size > 0) {
    // The first stream that ends after `at`, if any.
    size_t k = 0;
    while (k < olds.size() && olds[k].inflated_at + olds[k].inflated <= at) ++k;
    uint32_t take = size > kDeflatePiece ? kDeflatePiece : static_cast<uint32_t>(size);
    if (k < olds.size() && at >= olds[k].inflated_at) {
      const MapStream& s = olds[k];
      if (held_ != k && !Inflate(k, read)) return false;
      take = std::min(take, s.inflated_at + s.inflated - at);
      std::memcpy(out, inflated_.data() + (at - s.inflated_at), take);
    } else {  // bytes of the file's own, before stream k
      uint32_t until = k < olds.size() ? olds[k].inflated_at : map_.old_size;
      uint32_t from = k < olds.size() ? at - olds[k].inflated_at + olds[k].at
                                      : at - map_.old_size + map_.old_file;
      take = std::min(take, until - at);
      for (size_t got, done = 0; done < take; done += got) {
        got = old_.ReadAt(from + done, out + done, take - done, &read);
        if (got == 0) return false;
      }
    }
    at += take;
    out += take;
    size -= take;
  }
  return true;
}

// Inflates old stream `k` whole into inflated_: true where it ends exactly
// at its last byte, having made the bytes its map says.
bool InflatedOld::Inflate(size_t k, platform::Status& read) {
  const MapStream& s = map_.olds[k];
  held_ = SIZE_MAX;
  inflated_.resize(s.inflated);
  z_stream zs{};
  if (inflateInit2(&zs, WindowBits(s.form, 15)) != Z_OK) return false;
  zs.next_out = inflated_.data();
  zs.avail_out = s.inflated;
  uint8_t in[4096];
  int result = Z_OK;
  uint32_t at = s.at, end = s.at + s.packed, data = s.packed;  // the bytes to inflate from `at` on
  while (at < end && result == Z_OK) {
    if (s.form == StreamForm::kPngImage) {  // a chunk's length and type, then its data
      if (end - at < kFrame || old_.ReadAt(at, in, 8, &read) != 8 ||
          std::memcmp(in + 4, kIdat, 4) != 0) {
        break;
      }
      data = GetBigEndian32(in);
      at += 8;
      if (data > end - at - 4) break;
    }
    for (uint32_t got; data > 0 && result == Z_OK; at += got, data -= got) {
      got = static_cast<uint32_t>(old_.ReadAt(at, in, std::min<uint32_t>(data, sizeof in), &read));
      zs.next_in = in;
      zs.avail_in = got;
      result = got == 0 ? Z_DATA_ERROR : inflate(&zs, Z_NO_FLUSH);
      // Input left over, with no room for its bytes or after the stream's
      // end: not the stream the map says. (Bytes after its end in later
      // reads leave `at` short of the end.)
      if (zs.avail_in > 0) result = Z_DATA_ERROR;
    }
    if (s.form == StreamForm::kPngImage) at += 4;  // the chunk's CRC
  }
  bool whole = result == Z_STREAM_END && at == end && zs.avail_out == 0;
  inflateEnd(&zs);
  if (whole) held_ = k;
  return whole;
}

}  // namespace updater::package
