#include "package/deflate_form.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "package/delta.h"

namespace updater::package {
namespace {

constexpr uint8_t kIdat[4] = {'I', 'D', 'A', 'T'};
constexpr size_t kFrame = 12;  // an IDAT chunk's length, type and CRC

bool PullVarint(StreamPuller& in, uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    uint8_t byte;
    if (!in.PullByte(byte)) return false;
    value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) return true;
  }
  return false;
}

// Reads `count` fields into `fields`; false where the stream ends first.
template <size_t N>
bool PullFields(StreamPuller& in, uint64_t (&fields)[N]) {
  for (uint64_t& field : fields) {
    if (!PullVarint(in, field)) return false;
  }
  return true;
}

void PutBigEndian(uint8_t* out, uint32_t value) {
  for (int i = 3; i >= 0; --i, value >>= 8) out[i] = static_cast<uint8_t>(value);
}

int WindowBits(StreamForm form, int bits) { return form == StreamForm::kRawDeflate ? -bits : bits; }

}  // namespace

uint64_t DeflateSettings::Byte() const {
  return level | (mem_level == 9 ? 16u : 0u) | (filtered ? 32u : 0u) |
         static_cast<unsigned>(window_bits - 8) << 6;
}

bool DeflateSettings::FromByte(uint64_t byte, DeflateSettings& settings) {
  settings.level = byte & 15;
  settings.mem_level = byte & 16 ? 9 : 8;
  settings.filtered = (byte & 32) != 0;
  settings.window_bits = static_cast<uint8_t>((byte >> 6) + 8);
  return settings.level >= 1 && settings.level <= 9 && byte >> 6 >= 1 && byte >> 6 <= 7;
}

uint64_t FramedSize(const NewStream& stream) {
  if (stream.form != StreamForm::kPngImage) return stream.deflated;
  uint64_t chunks = std::max<uint64_t>(1, (stream.deflated + stream.chunk - 1) / stream.chunk);
  return stream.deflated + chunks * kFrame;
}

void AppendDeflateMap(std::vector<uint8_t>& ops, const DeflateMap& map) {
  AppendVarint(ops, map.olds.size());
  uint64_t end = 0;
  for (const OldStream& old : map.olds) {
    for (uint64_t field : {old.at - end, old.packed, old.inflated, uint64_t(old.form)}) {
      AppendVarint(ops, field);
    }
    end = old.at + old.packed;
  }
  AppendVarint(ops, map.news.size());
  end = 0;
  for (const NewStream& made : map.news) {
    for (uint64_t field : {made.at - end, made.inflated, made.deflated, uint64_t(made.form),
                           made.settings.Byte()}) {
      AppendVarint(ops, field);
    }
    if (made.form == StreamForm::kPngImage) AppendVarint(ops, made.chunk);
    end = made.at + made.inflated;
  }
}

bool ReadDeflateMap(StreamPuller& ops, uint64_t old_size, uint64_t new_size, DeflateMap& map) {
  uint64_t count, end = 0, packed = 0, inflated = 0;
  if (!PullVarint(ops, count) || count > kMaxMapStreams) return false;
  map.olds.resize(count);
  for (OldStream& old : map.olds) {
    uint64_t f[4];  // step, packed, inflated, form
    if (!PullFields(ops, f) || f[0] > old_size - end || f[1] == 0 || f[1] > old_size - end - f[0] ||
        f[2] == 0 || f[2] > kMaxInflatedStream || f[3] > 2) {
      return false;
    }
    old = {end + f[0], f[1], f[2], StreamForm(f[3]), end + f[0] - packed + inflated};
    end = old.at + old.packed;
    packed += old.packed;
    inflated += old.inflated;
  }
  map.old_size = old_size - packed + inflated;
  if (!PullVarint(ops, count) || count > kMaxMapStreams) return false;
  map.news.resize(count);
  end = packed = inflated = 0;
  for (NewStream& made : map.news) {
    uint64_t f[5];  // step, inflated, deflated, form, settings
    if (!PullFields(ops, f) || f[0] > kMaxFileSize || f[1] == 0 || f[1] > kMaxInflatedStream ||
        f[2] == 0 || f[2] > new_size || f[3] > 2 || !DeflateSettings::FromByte(f[4], made.settings)) {
      return false;
    }
    made.at = end + f[0];
    made.inflated = f[1];
    made.deflated = f[2];
    made.form = StreamForm(f[3]);
    if (made.form == StreamForm::kPngImage &&
        (!PullVarint(ops, f[0]) || f[0] == 0 || f[0] > 0x7FFFFFFF)) {
      return false;
    }
    made.chunk = static_cast<uint32_t>(f[0]);
    end = made.at + made.inflated;
    packed += FramedSize(made);
    inflated += made.inflated;
    if (packed > new_size) return false;
  }
  map.new_size = new_size - packed + inflated;
  return end <= map.new_size;
}

Redeflater::Redeflater(const DeflateMap& map, ByteSink& out) : map_(map), out_(out) {}

Redeflater::~Redeflater() {
  if (zs_) deflateEnd(zs_.get());
}

bool Redeflater::Feed(const uint8_t* data, size_t size) {
  while (size > 0 && !failed_) {
    size_t take;
    if (!zs_) {  // between streams: the bytes are the file's own
      uint64_t until = next_ < map_.news.size() ? map_.news[next_].at : UINT64_MAX;
      if (at_ == until) {
        failed_ = !Start();
        continue;
      }
      take = static_cast<size_t>(std::min<uint64_t>(size, until - at_));
      failed_ = !out_.Take(data, take);
    } else {
      const NewStream& made = map_.news[next_];
      take = static_cast<size_t>(std::min<uint64_t>(
          {size, made.at + made.inflated - at_, kDeflatePiece - piece_.size()}));
      piece_.insert(piece_.end(), data, data + take);
      bool last = at_ + take == made.at + made.inflated;
      if (last || piece_.size() == kDeflatePiece) failed_ = !Deflate(last);
    }
    at_ += take;
    data += take;
    size -= take;
  }
  return !failed_;
}

bool Redeflater::Finish() { return !failed_ && !zs_ && next_ == map_.news.size(); }

bool Redeflater::Start() {
  const NewStream& made = map_.news[next_];
  zs_.reset(new z_stream_s{});
  const DeflateSettings& s = made.settings;
  if (deflateInit2(zs_.get(), s.level, Z_DEFLATED, WindowBits(made.form, s.window_bits),
                   s.mem_level, s.filtered ? Z_FILTERED : Z_DEFAULT_STRATEGY) != Z_OK) {
    zs_.reset();
    return false;
  }
  made_.resize(16 << 10);
  deflated_ = 0;
  chunk_left_ = 0;
  return true;
}

bool Redeflater::Deflate(bool last) {
  zs_->next_in = piece_.data();
  zs_->avail_in = static_cast<uInt>(piece_.size());
  int result;
  do {
    zs_->next_out = made_.data();
    zs_->avail_out = static_cast<uInt>(made_.size());
    result = deflate(zs_.get(), last ? Z_FINISH : Z_NO_FLUSH);
    if (result == Z_STREAM_ERROR || (last && result == Z_BUF_ERROR) || !Emit(made_.data(), made_.size() - zs_->avail_out)) {
      return false;
    }
  } while (zs_->avail_out == 0 || (last && result != Z_STREAM_END));
  piece_.clear();
  if (!last) return true;
  deflateEnd(zs_.get());
  zs_.reset();
  return deflated_ == map_.news[next_++].deflated && chunk_left_ == 0;
}

// The deflated bytes of the stream being made, framed as its form frames them.
bool Redeflater::Emit(const uint8_t* data, size_t size) {
  const NewStream& made = map_.news[next_];
  if (size > made.deflated - deflated_) return false;  // more than the file had
  if (made.form != StreamForm::kPngImage) {
    deflated_ += size;
    return out_.Take(data, size);
  }
  while (size > 0) {
    uint8_t frame[8];
    if (chunk_left_ == 0) {  // a chunk starts: its length and type
      chunk_left_ = static_cast<uint32_t>(std::min<uint64_t>(made.chunk, made.deflated - deflated_));
      PutBigEndian(frame, chunk_left_);
      std::memcpy(frame + 4, kIdat, 4);
      crc_ = static_cast<uint32_t>(crc32(0, kIdat, 4));
      if (!out_.Take(frame, 8)) return false;
    }
    size_t take = std::min<size_t>(size, chunk_left_);
    crc_ = static_cast<uint32_t>(crc32(crc_, data, static_cast<uInt>(take)));
    if (!out_.Take(data, take)) return false;
    deflated_ += take;
    data += take;
    size -= take;
    if ((chunk_left_ -= static_cast<uint32_t>(take)) == 0) {  // and its CRC ends it
      PutBigEndian(frame, crc_);
      if (!out_.Take(frame, 4)) return false;
    }
  }
  return true;
}

bool InflatedOld::Read(uint64_t offset, uint8_t* out, size_t size, platform::Status& read) {
  const std::vector<OldStream>& olds = map_.olds;
  while (size > 0) {
    // The last stream starting at or before `offset`, if any.
    size_t k = static_cast<size_t>(
        std::upper_bound(olds.begin(), olds.end(), offset,
                         [](uint64_t at, const OldStream& s) { return at < s.inflated_at; }) -
        olds.begin());
    size_t take;
    if (k > 0 && offset < olds[k - 1].inflated_at + olds[k - 1].inflated) {
      const OldStream& s = olds[k - 1];
      if (held_ != k - 1 && !Inflate(k - 1, read)) return false;
      take = static_cast<size_t>(std::min<uint64_t>(size, s.inflated_at + s.inflated - offset));
      std::memcpy(out, inflated_.data() + (offset - s.inflated_at), take);
    } else {  // bytes of the file's own, after stream k - 1
      uint64_t shift = k > 0 ? olds[k - 1].inflated_at + olds[k - 1].inflated -
                                   (olds[k - 1].at + olds[k - 1].packed)
                             : 0;
      uint64_t until = k < olds.size() ? olds[k].inflated_at : map_.old_size;
      take = static_cast<size_t>(std::min<uint64_t>(size, until - offset));
      for (size_t got, done = 0; done < take; done += got) {
        got = old_.ReadAt(static_cast<int64_t>(offset - shift + done), out + done, take - done,
                          &read);
        if (got == 0) return false;
      }
    }
    offset += take;
    out += take;
    size -= take;
  }
  return true;
}

// Inflates old stream `k` whole into inflated_: true where it ends exactly
// at its last byte, having made the bytes its map says.
bool InflatedOld::Inflate(size_t k, platform::Status& read) {
  const OldStream& s = map_.olds[k];
  held_ = SIZE_MAX;
  inflated_.resize(static_cast<size_t>(s.inflated));
  z_stream zs{};
  if (inflateInit2(&zs, WindowBits(s.form, 15)) != Z_OK) return false;
  zs.next_out = inflated_.data();
  zs.avail_out = static_cast<uInt>(inflated_.size());
  std::vector<uint8_t> in(kDeflatePiece);
  int result = Z_OK;
  uint64_t at = s.at, end = s.at + s.packed;
  while (at < end && result == Z_OK) {
    uint64_t data = end - at;  // the bytes to inflate from `at` on
    if (s.form == StreamForm::kPngImage) {
      uint8_t frame[8];
      if (end - at < kFrame || old_.ReadAt(static_cast<int64_t>(at), frame, 8, &read) != 8 ||
          std::memcmp(frame + 4, kIdat, 4) != 0) {
        break;
      }
      data = uint64_t{frame[0]} << 24 | frame[1] << 16 | frame[2] << 8 | frame[3];
      at += 8;
      if (data > end - at - 4) break;
    }
    for (uint64_t left = data; left > 0 && result == Z_OK;) {
      size_t got = old_.ReadAt(static_cast<int64_t>(at), in.data(),
                               static_cast<size_t>(std::min<uint64_t>(left, in.size())), &read);
      if (got == 0) {
        result = Z_DATA_ERROR;
        break;
      }
      zs.next_in = in.data();
      zs.avail_in = static_cast<uInt>(got);
      result = inflate(&zs, Z_NO_FLUSH);
      // Input left over with no room for its bytes: more than the map says.
      if (result == Z_OK && zs.avail_in > 0) result = Z_BUF_ERROR;
      at += got;
      left -= got;
      // Bytes left after the stream's end: it ends before its map says.
      if (result == Z_STREAM_END && (zs.avail_in > 0 || left > 0)) result = Z_DATA_ERROR;
    }
    if (s.form == StreamForm::kPngImage) at += 4;  // the chunk's CRC
  }
  bool whole = result == Z_STREAM_END && at == end && zs.avail_out == 0;
  inflateEnd(&zs);
  if (whole) held_ = k;
  return whole;
}

}  // namespace updater::package
