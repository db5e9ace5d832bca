#include "package/block_cursors.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "package/branch_filter.h"
#include "package/deflate_form.h"
#include "package/delta.h"
#include "package/lzma_decoder.h"
#include "package/record_reader.h"
#include "package/sample_filter.h"

namespace updater::package {

Cause SolidCursor::Open(platform::File& package, const Framing& framing, int64_t payload_end,
                        std::vector<SolidMember> members, bool after_block,
                        platform::Status& status) {
  package_ = &package;
  members_ = std::move(members);
  next_ = 0;
  uint64_t total = 0;
  for (const SolidMember& member : members_) total += member.coded;
  std::optional<uint64_t> props = ReadNumber(package, 1, &framing);
  std::optional<uint64_t> dictionary = ReadNumber(package, 4, &framing);
  std::optional<uint64_t> preset = after_block ? ReadNumber(package, 4, &framing) : 0;
  std::optional<uint64_t> packed = ReadNumber(package, 4, &framing);
  LzmaProps coder;
  if (!props || !dictionary || !preset || !packed ||
      !LzmaPropsFromByte(static_cast<uint8_t>(*props), coder) || *dictionary > kMaxLzmaDictionary ||
      static_cast<int64_t>(*packed) > payload_end - package.Tell()) {
    return Cause::kBadStream;
  }
  coder.dictionary = static_cast<uint32_t>(*dictionary);
  // A preset comes from the block right before, whole, and fits both windows.
  if (after_block && !undecoded_ &&
      (*preset == 0 || *preset > held_ || *preset > coder.dictionary)) {
    return Cause::kBadStream;
  }
  held_ = 0;
  total_ = *preset + total;
  ring_ = std::min<uint64_t>(coder.dictionary, total_);
  // The stream is read by position; the package goes on after it.
  int64_t start = package.Tell();
  if (!undecoded_) {
    std::vector<uint64_t> parts;
    for (const SolidMember& member : members_) parts.push_back(member.coded);
    decoder_ = std::make_unique<DecodeAhead>(
        std::make_unique<LzmaDecoder>(package, start, static_cast<uint32_t>(*packed), total, coder,
                                      &window_, static_cast<uint32_t>(*preset), ring_end_),
        std::move(parts));
  }
  packed_ = static_cast<int64_t>(*packed);
  after_ = start + packed_;
  status = package.Seek(after_, SEEK_SET);
  return status ? Cause::kNone : Cause::kPackageReadFailed;
}

InflateResult SolidCursor::Decode(ByteSink& sink, int64_t& packed) {
  const SolidMember& member = members_[next_ - 1];  // the file handed on last
  int64_t before = decoder_->consumed();
  std::vector<uint8_t> piece;
  BranchJoiner joined(member.size, sink);
  SampleDifferences samples(member.samples, false);
  SinkTo summed([&](const uint8_t* data, size_t size) {
    piece.assign(data, data + size);
    samples.Code(piece.data(), size);
    return sink.Take(piece.data(), size);
  });
  // Inflated deflate streams: deflated again as the map says, which a stream
  // of the package beside the file's head holds. A map that lies about them
  // makes other bytes, which the file's SHA-256 refuses.
  DeflateMap map;
  Redeflater again(map, sink);
  SinkTo inflated([&](const uint8_t* data, size_t size) { return again.Feed(data, size); });
  const bool deflated = member.filter == kDeflatedFilter;
  if (deflated) {
    StreamPuller fields(*package_, member.map_at, member.map_length, true);
    bool read = ReadDeflateMap(fields, 0, member.size, map) && fields.Ended();
    // A read by position moves a Windows handle's pointer: the package goes
    // on after the block again (as the block's stream read last leaves it).
    platform::Status back = package_->Seek(after_, SEEK_SET);
    if (!read || !back) {
      packed = 0;
      if (!back) return {InflateEnd::kReadFailed, back.error()};
      return {fields.read ? InflateEnd::kDamaged : InflateEnd::kReadFailed, fields.read.error()};
    }
  }
  ByteSink& into = member.filter == kSplitBranchFilter ? static_cast<ByteSink&>(joined)
                   : member.filter == kSampleFilter    ? static_cast<ByteSink&>(summed)
                   : deflated                          ? static_cast<ByteSink&>(inflated)
                                                       : sink;
  InflateResult read{decoder_->Decode(into), decoder_->os_error()};
  if (read.end == InflateEnd::kDone && member.filter == kSplitBranchFilter && !joined.Whole()) {
    read.end = InflateEnd::kDamaged;
  }
  packed = decoder_->consumed() - before;
  if (read.end == InflateEnd::kDone && IsLast() && !decoder_->EndedWhole()) {
    read.end = InflateEnd::kDamaged;
  }
  return read;
}

void SolidCursor::End(bool sound) {
  decoder_.reset();
  // The ring is as large as the block's window, or its bytes where fewer.
  ring_end_ = static_cast<size_t>(total_ % std::max<uint64_t>(ring_, 1));
  if (sound) held_ = ring_;
}

void SolidCursor::DropWindow() {
  window_ = std::vector<uint8_t>();
  held_ = 0;
}

Cause DeltaBlockCursor::Open(platform::File& package, const Framing& framing, int64_t payload_end,
                             std::vector<Record> deltas, platform::Status& status) {
  deltas_ = std::move(deltas);
  next_ = 0;
  uint64_t totals[4] = {};
  for (const Record& delta : deltas_) {
    for (int s = 0; s < 4; ++s) totals[s] += delta.patch_bytes(s);
  }
  streams_.reset(new SharedStream[4]);
  LzmaProps coder[4];
  bool sample_deltas[4];
  for (int s = 0; s < 4; ++s) {
    std::optional<uint64_t> settings = ReadNumber(package, 1, &framing);
    std::optional<uint64_t> length = ReadNumber(package, 4, &framing);
    if (!settings || !length) return Cause::kBadStream;
    streams_[s].end = *length;  // made a place below
    // Stored: exactly the bytes; LZMA: none where nothing is coded.
    bool stored = *settings == kStoredStream;
    sample_deltas[s] = *settings == kSampleDeltaStream;
    if (stored ? *length != totals[s]
               : !LzmaPropsFromByte(
                     sample_deltas[s] ? kSampleDeltaContexts : static_cast<uint8_t>(*settings),
                     coder[s]) ||
                     (totals[s] == 0 && *length != 0)) {
      return Cause::kBadStream;
    }
    coder[s].dictionary = stored ? 0 : kDeltaStreamWindow;
  }
  // The streams lie back to back inside the payload, read by position; the
  // package goes on after them.
  int64_t at = package.Tell();
  for (int s = 0; s < 4; ++s) {
    SharedStream& stream = streams_[s];
    int64_t length = stream.end;
    if (length > payload_end - at) return Cause::kBadStream;
    stream.next = at;
    stream.end = at + length;
    stream.left = left_after_[s] = totals[s];
    if (coder[s].dictionary && totals[s] > 0) {
      stream.lzma.reset(
          new LzmaDecoder(package, at, static_cast<uint32_t>(length), totals[s], coder[s]));
      stream.lzma->sample_deltas = sample_deltas[s];
    }
    at += length;
  }
  end_ = at;
  status = package.Seek(at, SEEK_SET);
  return status ? Cause::kNone : Cause::kPackageReadFailed;
}

Record DeltaBlockCursor::Next() {
  Record next = std::move(deltas_[next_++]);  // numbered and placed as it was read
  for (int s = 0; s < 4; ++s) left_after_[s] -= next.patch_bytes(s);
  return next;
}

Cause DeltaBlockCursor::PassPart(platform::File& package, platform::Status& status) {
  for (int s = 0; s < 4; ++s) {
    SharedStream& stream = streams_[s];
    if (stream.left < left_after_[s]) return Cause::kBadStream;  // a part read twice
    // A part not read (a file current already, a patch for another version)
    // is read here, and dropped.
    if (!SkipShared(package, stream, stream.left - left_after_[s], status)) {
      return status ? Cause::kBadStream : Cause::kPackageReadFailed;
    }
  }
  if (HasNext()) return Cause::kNone;
  bool whole = true;
  for (int s = 0; s < 4; ++s) whole = whole && streams_[s].Whole();
  streams_.reset();
  deltas_.clear();
  next_ = 0;
  if (!whole) return Cause::kBadStream;
  status = package.Seek(end_, SEEK_SET);
  return status ? Cause::kNone : Cause::kPackageReadFailed;
}

}  // namespace updater::package
