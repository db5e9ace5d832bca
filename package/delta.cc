#include "package/delta.h"

#include <algorithm>
#include <cstring>

#include "package/record_reader.h"

namespace updater::package {

bool FramedAsMoved(const PackageOut& out, const DeltaHeader& header) {
  return out.framing && out.framing->compact && header.new_size == header.old_size &&
         std::memcmp(header.new_hash, header.old_hash, 32) == 0;
}

bool WriteDeltaHeader(PackageOut& out, const DeltaHeader& header) {
  const bool compact = out.framing && out.framing->compact;
  if (!WriteNumber(out, header.old_size, 8) || !WriteToPackage(out, header.old_hash, 32)) {
    return false;
  }
  // Compactly, the new size is one more, and 0 says the new file is the old
  // one (a file moved): its size and SHA-256 are not written again.
  if (FramedAsMoved(out, header)) return WriteNumber(out, 0, 8);
  return WriteNumber(out, header.new_size + compact, 8) && WriteToPackage(out, header.new_hash, 32);
}

namespace {

// Reads the SHA-256 after a size read into `into`; false where the size was
// not read or passes kMaxFileSize.
bool ReadHashAfter(platform::File& package, std::optional<uint64_t> size, uint64_t& into,
                   uint8_t (&hash)[32]) {
  if (!size || *size > kMaxFileSize || package.Read(hash, 32) != 32) return false;
  into = *size;
  return true;
}

}  // namespace

std::optional<SizedHash> ReadSizedHash(platform::File& package, const Framing* framing) {
  SizedHash read;
  if (!ReadHashAfter(package, ReadNumber(package, 8, framing), read.size, read.hash)) {
    return std::nullopt;
  }
  return read;
}

bool WriteOldName(PackageOut& out, const WString& name, const WString& old_name, bool removes) {
  const WString written = old_name == name ? WString() : old_name;
  // Plainly, or for the file's own name, a removal has no place to go.
  if (removes && (written.empty() || !out.framing || !out.framing->compact)) return false;
  if (!out.framing || !out.framing->compact) return WriteEntryName(out, written);
  WString& last = out.framing->old_name;
  const size_t shared = static_cast<size_t>(
      std::mismatch(written.begin(), written.end(), last.begin(), last.end()).first -
      written.begin());
  // A moved file keeps its name's last units (a folder moved or renamed):
  // those come from the entry name. With none shared, a unit stays between:
  // none shared and none between says the file's own name.
  const size_t fewest_between = shared == 0 ? 1 : 0;
  size_t tail = 0;
  while (tail < name.size() && shared + fewest_between + tail < written.size() &&
         written[written.size() - 1 - tail] == name[name.size() - 1 - tail]) {
    ++tail;
  }
  // The units before the tail, after the old name before (which they share
  // `shared` of); then the whole old name is the one to frame the next after.
  bool framed = WritePrefixedName(out, written.substr(0, written.size() - tail), last);
  last = written;
  return framed && (written.empty() || WriteNumber(out, tail * 2 + removes, 2));
}

std::optional<WString> ReadOldName(platform::File& package, Framing& framing, const WString& name,
                                   bool& removes) {
  removes = false;
  if (!framing.compact) return ReadEntryName(package);
  std::optional<WString> head = ReadPrefixedName(package, framing, framing.old_name);
  if (!head || head->empty()) return head;  // empty: the file's own name
  WString& last = framing.old_name;
  // The count of the entry name's last units it ends in, twice, plus one
  // where the update removes it.
  std::optional<uint64_t> tail = ReadNumber(package, 2, &framing);
  if (!tail || *tail / 2 > name.size()) return std::nullopt;
  removes = *tail & 1;
  const size_t units = static_cast<size_t>(*tail / 2);
  last.append(name, name.size() - units, units);
  return last;
}

std::optional<DeltaHeader> ReadDeltaHeader(platform::File& package, const Framing* framing) {
  DeltaHeader header;
  const bool compact = framing && framing->compact;
  std::optional<uint64_t> size = ReadNumber(package, 8, framing);
  if (!ReadHashAfter(package, size, header.old_size, header.old_hash)) return std::nullopt;
  // Compactly the new size is one more, and 0 says the old file moved.
  size = ReadNumber(package, 8, framing);
  if (compact && size == uint64_t{0}) {
    header.new_size = header.old_size;
    std::memcpy(header.new_hash, header.old_hash, 32);
    header.moved = true;
    return header;
  }
  if (size) *size -= compact;
  if (!ReadHashAfter(package, size, header.new_size, header.new_hash)) return std::nullopt;
  return header;
}

bool WriteRemovalRecord(PackageOut& out, const WString& name, uint64_t size,
                        const uint8_t (&hash)[32]) {
  return WriteToPackage(out, kRemoveTag, 4) && WriteRecordName(out, name) &&
         WriteNumber(out, size, 8) && WriteToPackage(out, hash, 32);
}

namespace {

// The versions as "rmvs" holds them, or "alts" with their `old_names`.
bool WriteVersions(PackageOut& out, uint32_t current_in, const std::vector<Version>& versions,
                   const WString& name, const std::vector<WString>* old_names) {
  bool written = WriteNumber(out, current_in, 4) && WriteNumber(out, versions.size(), 1);
  for (size_t i = 0; i < versions.size(); ++i) {
    const Version& v = versions[i];
    if (old_names) {
      written = written && WriteOldName(out, name, (*old_names)[i]);
    }
    written = written && WriteNumber(out, v.size, 8) && WriteToPackage(out, v.hash, 32) &&
              WriteNumber(out, v.releases, 4) && (!old_names || WriteNumber(out, v.patch, 1));
  }
  return written;
}

}  // namespace

bool WriteRemoveAnyRecord(PackageOut& out, const WString& name, uint32_t current_in,
                          const std::vector<Version>& versions) {
  return WriteToPackage(out, kRemoveAnyTag, 4) && WriteRecordName(out, name) &&
         WriteVersions(out, current_in, versions, name, nullptr);
}

bool WriteChoiceHead(PackageOut& out, const WString& name, const EntryTimes& times,
                     const DeltaHeader& made, uint32_t current_in,
                     const std::vector<Version>& versions, const std::vector<WString>& old_names,
                     const std::vector<uint32_t>& patch_lengths, uint32_t whole_length,
                     bool lzma_patches) {
  const char* tag = !lzma_patches  ? kChoiceTag
                    : whole_length ? kChoiceWholeLzmaTag
                                   : kChoiceLzmaTag;
  return WriteEntryHeader(out, name, times, tag) &&
         WriteChoiceFields(out, name, made, current_in, versions, old_names, patch_lengths,
                           whole_length);
}

bool WriteChoiceFields(PackageOut& out, const WString& name, const DeltaHeader& made,
                       uint32_t current_in, const std::vector<Version>& versions,
                       const std::vector<WString>& old_names,
                       const std::vector<uint32_t>& patch_lengths, uint32_t whole_length) {
  bool written = WriteNumber(out, made.new_size, 8) && WriteToPackage(out, made.new_hash, 32) &&
                 WriteVersions(out, current_in, versions, name, &old_names) &&
                 WriteNumber(out, patch_lengths.size() / 4, 1);
  for (uint32_t length : patch_lengths) written = written && WriteNumber(out, length, 4);
  return written && WriteNumber(out, whole_length, 4);
}

bool WriteReleaseLabels(PackageOut& out, const std::vector<WString>& labels) {
  bool written = WriteToPackage(out, kReleasesTag, 4) && WriteNumber(out, labels.size(), 1);
  for (const WString& label : labels) written = written && WriteEntryName(out, label);
  return written;
}

void AppendVarint(std::vector<uint8_t>& out, uint64_t value) {
  uint8_t bytes[kMaxVarintBytes];
  out.insert(out.end(), bytes, bytes + PutVarint(bytes, value));
}

void AppendSplitOp(std::vector<uint8_t>& ops, SplitOp kind, uint64_t length, int64_t step) {
  AppendVarint(ops, length << 2 | static_cast<uint64_t>(kind));
  if (kind == SplitOp::kLiteral) return;
  AppendVarint(ops, Zigzag(static_cast<uint64_t>(step)));
}

DeltaOps::DeltaOps(uint64_t old_size, uint64_t new_size, DeltaSink& sink)
    : old_size_(old_size), new_size_(new_size), sink_(sink) {}

bool DeltaOps::ReadVarint(uint8_t byte) {
  // The tenth byte may hold only the top bit of 64.
  if (shift_ > 63 || (shift_ == 63 && byte > 1)) return false;
  value_ |= static_cast<uint64_t>(byte & 0x7F) << shift_;
  shift_ += 7;
  return true;
}

bool DeltaOps::EndHead() {
  uint64_t kind = value_ & 3;
  length_ = value_ >> 2;
  bool first = first_;
  first_ = false;
  if (kind == 3) {  // the references operation
    if (!first || !references_ || references_->Prediction() != length_) return false;
    return sink_.PredictReferences(*references_);
  }
  if (length_ == 0 || length_ > new_size_ - made_) return false;
  difference_ = kind == static_cast<uint64_t>(SplitOp::kDifference);
  if (kind != static_cast<uint64_t>(SplitOp::kLiteral)) {
    state_ = State::kStep;
    return true;
  }
  made_ += length_;
  return sink_.Literal(length_);
}

bool DeltaOps::EndStep() {
  uint64_t magnitude = value_ >> 1;
  bool back = (value_ & 1) != 0;  // zigzag: odd values step back by (magnitude + 1)
  uint64_t start;
  if (back) {
    if (magnitude >= copy_end_) return false;
    start = copy_end_ - magnitude - 1;
  } else {
    if (magnitude > old_size_ - copy_end_) return false;
    start = copy_end_ + magnitude;
  }
  if (length_ > old_size_ - start) return false;  // a copy past the old file's end
  copy_end_ = start + length_;
  made_ += length_;
  state_ = State::kHead;
  return difference_ ? sink_.Difference(start, length_) : sink_.Copy(start, length_);
}

bool DeltaOps::Feed(const uint8_t* data, size_t size) {
  while (size > 0) {
    uint8_t byte = *data++;
    --size;
    if (!ReadVarint(byte)) return false;
    if (byte & 0x80) continue;
    bool ok = state_ == State::kHead ? EndHead() : EndStep();
    value_ = 0;
    shift_ = 0;
    if (!ok) return false;
  }
  return true;
}

bool DeltaOps::Complete() const {
  return state_ == State::kHead && shift_ == 0 && made_ == new_size_;
}

SplitStreams::SplitStreams(const platform::File& package, int64_t start,
                           const uint32_t (&lengths)[4], bool lzma, SharedStream* block,
                           bool literals_after_old, std::vector<uint8_t>* old)
    : operations(package, start, lengths[0], lzma, block),
      gaps(package, start + lengths[0], lengths[1], lzma, block ? block + 1 : nullptr),
      values(package, start + lengths[0] + lengths[1], lengths[2], lzma,
             block ? block + 2 : nullptr),
      literals(package, start + lengths[0] + lengths[1] + lengths[2], lengths[3], lzma,
               block ? block + 3 : nullptr, literals_after_old, old) {}

bool SplitStreams::NextGap() {
  size_t gap = 0;  // a gap lies inside one file, below 2 GiB
  uint8_t byte = 0x80;
  for (int shift = 0; byte & 0x80; shift += 7) {
    if (!gaps.PullByte(byte)) {
      more_ = false;
      return shift == 0;  // the gaps' end, between two of them
    }
    if (shift > 28) return false;
    gap |= static_cast<size_t>(byte & 0x7F) << shift;
  }
  zeros_ = gap;
  more_ = true;
  return true;
}

bool SplitStreams::Differences(uint8_t* out, size_t size) {
  if (!started_ && !(started_ = NextGap())) return false;
  std::memset(out, 0, size);
  for (size_t at = 0;;) {
    if (!more_) return true;  // zeros to the end
    if (zeros_ >= size - at) {
      zeros_ -= size - at;
      return true;
    }
    at += zeros_;
    if (!values.PullByte(out[at])) return false;
    ++at;
    if (!NextGap()) return false;
  }
}

bool SplitStreams::SkipDifferences(uint64_t size) {
  if (!started_ && !(started_ = NextGap())) return false;
  for (uint64_t at = 0;;) {
    if (!more_) return true;  // zeros to the end
    if (zeros_ >= size - at) {
      zeros_ -= static_cast<size_t>(size - at);
      return true;
    }
    at += zeros_;
    uint8_t value;
    if (!values.PullByte(value)) return false;
    ++at;
    if (!NextGap()) return false;
  }
}

namespace {

// Places each copy and difference in a map by its new position.
class MapSink : public DeltaSink {
 public:
  explicit MapSink(ReferenceMap& map) : map_(map) {}
  bool Copy(uint64_t offset, uint64_t length) override { return Place(offset, length); }
  bool Difference(uint64_t offset, uint64_t length) override { return Place(offset, length); }
  bool Literal(uint64_t length) override {
    made_ += length;
    return true;
  }

 private:
  bool Place(uint64_t offset, uint64_t length) {
    bool added = map_.Add(offset, length, made_);
    made_ += length;
    return added;
  }

  ReferenceMap& map_;
  uint64_t made_ = 0;
};

bool IsReferencesHead(uint8_t first_byte) { return (first_byte & 3) == 3; }

}  // namespace

bool ReadReferenceMap(const std::vector<uint8_t>& ops, uint64_t old_size, uint64_t new_size,
                      ReferenceMap& map) {
  if (ops.empty() || !IsReferencesHead(ops[0]) || ops.size() > kMostPredictedOperations) {
    return false;
  }
  uint64_t value = 0;
  size_t at = 0;
  for (int shift = 0; at < ops.size() && shift < 64; shift += 7) {
    value |= static_cast<uint64_t>(ops[at] & 0x7F) << shift;
    if (!(ops[at++] & 0x80)) break;
  }
  map.old_size = old_size;
  if (!map.SetPrediction(value >> 2)) return false;
  MapSink sink(map);
  DeltaOps placed(old_size, new_size, sink);
  placed.set_references(&map);
  if (!placed.Feed(ops.data(), ops.size()) || !placed.Complete()) return false;
  map.Finish();
  return true;
}

InflateResult RunSplitDelta(SplitStreams& streams, DeltaOps& ops) {
  uint8_t buffer[4096];
  bool fed = true;
  ReferenceMap map;
  size_t got = streams.operations.Pull(buffer, 1);
  if (got > 0 && buffer[0] == kInflatedFormHead) {  // the map, then the operations
    DeflateMap inflated;
    got = 0;
    fed = ReadDeflateMap(streams.operations, ops.old_size(), ops.new_size(), inflated) &&
          ops.InflatedForm(inflated);
  }
  if (fed) got += streams.operations.Pull(buffer + got, sizeof buffer - got);
  if (got > 0 && IsReferencesHead(buffer[0])) {
    // The differences need the map of all the operations first.
    std::vector<uint8_t> whole(buffer, buffer + got);
    while (whole.size() <= kMostPredictedOperations &&
           (got = streams.operations.Pull(buffer, sizeof buffer)) > 0) {
      whole.insert(whole.end(), buffer, buffer + got);
    }
    ops.set_references(&map);
    fed = ReadReferenceMap(whole, ops.old_size(), ops.new_size(), map) &&
          ops.Feed(whole.data(), whole.size());
  } else {
    while (got > 0 && (fed = ops.Feed(buffer, got))) {
      got = streams.operations.Pull(buffer, sizeof buffer);
    }
  }
  StreamPuller* all[] = {&streams.operations, &streams.gaps, &streams.values, &streams.literals};
  for (StreamPuller* s : all) {
    if (!s->read) return {InflateEnd::kReadFailed, s->read.error()};
  }
  if (!fed) return {InflateEnd::kSinkFailed, 0};
  bool ended = true;
  for (StreamPuller* s : all) ended = ended && s->Ended();
  return {ended ? InflateEnd::kDone : InflateEnd::kDamaged, 0};
}

}  // namespace updater::package
