#include "package/record_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "package/branch_filter.h"
#include "package/content_stream.h"
#include "package/format.h"

namespace updater::package {

int64_t Record::patch_offset(size_t patch) const {
  int64_t offset = 0;
  for (size_t i = 0; i < 4 * patch; ++i) offset += patch_lengths[i / 4][i % 4];
  return offset;
}

uint64_t Record::patch_bytes(int s) const {
  if (kind != RecordKind::kChoice) return stream_lengths[s];
  uint64_t bytes = 0;
  for (int p = 0; p < patch_count; ++p) bytes += patch_lengths[p][s];
  return bytes;
}

int64_t Record::streams_size() const {
  if (in_block) return 0;  // a block's
  if (kind == RecordKind::kChoice) return patch_offset(patch_count) + whole_length;
  return int64_t{stream_lengths[0]} + stream_lengths[1] + stream_lengths[2] + stream_lengths[3];
}

RecordReader::RecordReader(platform::File& package, int64_t payload_end, WString root)
    : package_(package), payload_end_(payload_end), start_(package.Tell()), root_(std::move(root)) {
  framing_.compact = FramedCompactly(package, payload_end);
}

bool RecordReader::Stop(Cause cause, platform::Status status) {
  // A read the OS refused is that, whatever it left of the record.
  platform::Status read = package_.status();
  failure_ = read ? Fault(cause, status) : Fault(Cause::kPackageReadFailed, read);
  return false;
}

Failure RecordReader::Fault(Cause cause, platform::Status status) const {
  Failure failure = Fail(cause, current_.target, status);
  failure.entry = current_.number;
  failure.offset = current_.offset;
  return failure;
}

bool RecordReader::Next(Record& record) {
  if (unread_) {
    SinkTo skip([](const uint8_t*, size_t) { return true; });
    InflateResult read = Content(skip);
    if (read.end != InflateEnd::kDone) {
      return Stop(
          read.end == InflateEnd::kReadFailed ? Cause::kPackageReadFailed : Cause::kBadStream,
          platform::Status::Error(read.os_error));
    }
  }
  if (block_ && !PassBlockPart()) return false;
  if (next_delta_ < deltas_.size()) {
    current_ = std::move(deltas_[next_delta_++]);  // numbered and placed as it was read
    for (int i = 0; i < 4; ++i) left_after_[i] -= current_.patch_bytes(i);
    return Hand(record);
  }
  if (next_member_ < members_.size()) {
    const SolidMember& member = members_[next_member_++];
    int number = current_.number + 1;
    int64_t offset = current_.offset;
    current_ = Record();
    current_.number = number;
    current_.offset = offset;  // of the block
    current_.in_block = unread_ = true;
    current_.times = member.times;
    current_.delta.new_size = member.size;
    std::memcpy(current_.delta.new_hash, member.hash, 32);
    AcceptName(member.name, current_.name, current_.target);  // as it was when read
    return Hand(record);
  }
  int number = current_.number + 1;
  current_ = Record();
  current_.number = number;
  current_.offset = package_.Tell();
  RecordTag tag = ReadNextTag(package_, payload_end_);
  if (tag == RecordTag::kLabel && current_.offset == start_) {
    label_ = ReadEntryName(package_, &framing_);
    if (!label_) return Stop(Cause::kBadName);
    if (!IsAcceptableLabel(*label_)) return Stop(Cause::kBadLabel);
    current_.offset = package_.Tell();
    tag = ReadNextTag(package_, payload_end_);
  }
  // The release labels, first or after the version label, once.
  if (tag == RecordTag::kReleases && number == 1 && releases_.empty()) {
    if (!ReadReleases()) return Stop(Cause::kBadLabel);
    current_.offset = package_.Tell();
    tag = ReadNextTag(package_, payload_end_);
  }
  bool solid = tag == RecordTag::kSolid || tag == RecordTag::kSolidAfter;
  if (!solid) {
    solid_window_ = std::vector<uint8_t>();  // a delta's streams need their memory now
    solid_held_ = 0;
  }
  if (tag == RecordTag::kEnd) return false;
  if (solid || tag == RecordTag::kDeltaBlock) {
    bool read = solid ? ReadSolid(tag == RecordTag::kSolidAfter) : ReadDeltaBlock();
    if (!read) return failure_.failed() ? false : Stop(Cause::kBadStream);
    return Next(record);
  }
  if (tag == RecordTag::kInvalid || tag == RecordTag::kLabel || tag == RecordTag::kReleases) {
    return Stop(Cause::kBadTag);
  }
  const RecordTagRow& row = kRecordTags[static_cast<int>(tag)];
  current_.lzma_streams = row.lzma_streams;
  current_.whole_lzma = row.whole_lzma;
  current_.literals_after_old = row.literals_after_old;
  current_.kind = row.kind;
  bool removal = current_.kind == RecordKind::kRemove;
  if (!ReadTarget(removal)) return false;
  if (tag == RecordTag::kRemove) {
    std::optional<SizedHash> old = ReadSizedHash(package_, &framing_);
    if (!old) return Stop(Cause::kBadStream);
    current_.delta.old_size = old->size;
    std::memcpy(current_.delta.old_hash, old->hash, 32);
    current_.version_count = 1;
    current_.versions[0].size = old->size;
    std::memcpy(current_.versions[0].hash, old->hash, 32);
  }
  if (current_.kind == RecordKind::kRemove) {
    if (tag == RecordTag::kRemoveAny && !ReadVersions(false)) return Stop(Cause::kBadStream);
    return Hand(record);
  }
  std::optional<EntryTimes> times = ReadEntryTimes(package_, framing_);
  if (!times) return Stop(Cause::kTimesCut);
  current_.times = *times;
  if (current_.kind == RecordKind::kChoice) {
    if (!ReadChoice()) return failure_.failed() ? false : Stop(Cause::kBadStream);
  }
  if (current_.is_delta()) {
    if (!ReadDeltaTail()) return failure_.failed() ? false : Stop(Cause::kBadStream);
    // The streams lie inside the payload.
    if (current_.streams_size() > payload_end_ - package_.Tell()) return Stop(Cause::kBadStream);
  }
  return Hand(record);
}

bool RecordReader::ReadTarget(bool removal) {
  std::optional<WString> name = ReadRecordName(package_, framing_);
  if (!name || !AcceptName(*name, current_.name, current_.target)) return Stop(Cause::kBadName);
  if (!AddPackagePath(paths_, current_.target, removal)) return Stop(Cause::kDuplicateName);
  return true;
}

bool RecordReader::ReadOldNameInto(WString& old_name) {
  // No name: the file's own. Another is checked as a name, and only kept.
  std::optional<WString> read = ReadOldName(package_, &framing_);
  WString old_target;
  old_name = current_.name;
  if (!read || (!read->empty() && !AcceptName(*read, old_name, old_target))) {
    return Stop(Cause::kBadName);
  }
  return true;
}

bool RecordReader::ReadDeltaTail() {
  if (!ReadOldNameInto(current_.old_name)) return false;
  std::optional<DeltaHeader> delta = ReadDeltaHeader(package_, &framing_);
  if (!delta) return false;
  current_.delta = *delta;
  // The literals' window holds the whole old file, as it holds any stream:
  // at most kDeltaStreamWindow.
  if (current_.literals_after_old &&
      (delta->old_size == 0 || delta->old_size > kDeltaStreamWindow)) {
    return false;
  }
  for (uint32_t& length : current_.stream_lengths) {
    std::optional<uint64_t> read = ReadNumber(package_, 4, &framing_);
    if (!read) return false;
    length = static_cast<uint32_t>(*read);
  }
  return true;
}

bool RecordReader::Hand(Record& record) {
  record = std::move(current_);
  current_.target = record.target;      // for Fault
  current_.in_block = record.in_block;  // and for Content
  return true;
}

bool RecordReader::ReadReleases() {
  std::optional<uint64_t> count = ReadNumber(package_, 1, &framing_);
  if (!count || *count == 0 || *count > kMaxReleases) return false;
  for (uint64_t i = 0; i < *count; ++i) {
    std::optional<WString> label = ReadEntryName(package_, &framing_);
    if (!label || !IsAcceptableLabel(*label)) return false;
    releases_.push_back(*label);
  }
  return true;
}

bool RecordReader::ReadVersions(bool patches) {
  std::optional<uint64_t> current = ReadNumber(package_, 4, &framing_);
  std::optional<uint64_t> count = ReadNumber(package_, 1, &framing_);
  if (!current || !count || *count == 0 || *count > kMaxReleases) return false;
  current_.current_in = static_cast<uint32_t>(*current);
  current_.version_count = static_cast<int>(*count);
  for (int i = 0; i < current_.version_count; ++i) {
    Version& version = current_.versions[i];
    if (patches) {
      WString old_name;
      if (!ReadOldNameInto(old_name)) return false;
      current_.old_names.push_back(std::move(old_name));
    }
    std::optional<SizedHash> old = ReadSizedHash(package_, &framing_);
    std::optional<uint64_t> releases = ReadNumber(package_, 4, &framing_);
    std::optional<uint64_t> patch = ReadNumber(package_, patches ? 1 : 0, &framing_);
    if (!old || !releases || !patch) return false;
    version.size = old->size;
    std::memcpy(version.hash, old->hash, 32);
    version.releases = static_cast<uint32_t>(*releases);
    version.patch = static_cast<uint8_t>(*patch);
  }
  return true;
}

bool RecordReader::ReadChoice() {
  std::optional<SizedHash> made = ReadSizedHash(package_, &framing_);
  if (!made) return false;
  current_.delta.new_size = made->size;
  std::memcpy(current_.delta.new_hash, made->hash, 32);
  if (!ReadVersions(true)) return false;
  std::optional<uint64_t> patches = ReadNumber(package_, 1, &framing_);
  if (!patches || *patches == 0 || *patches > kMaxReleases) return false;
  current_.patch_count = static_cast<int>(*patches);
  for (size_t i = 0; i < 4 * *patches; ++i) {
    std::optional<uint64_t> read = ReadNumber(package_, 4, &framing_);
    if (!read) return false;
    current_.patch_lengths[i / 4][i % 4] = static_cast<uint32_t>(*read);
  }
  std::optional<uint64_t> whole = ReadNumber(package_, 4, &framing_);
  if (!whole) return false;
  current_.whole_length = static_cast<uint32_t>(*whole);
  for (int i = 0; i < current_.version_count; ++i) {
    if (current_.versions[i].patch >= *patches) return false;
  }
  // The streams lie inside the payload.
  return current_.streams_size() <= payload_end_ - package_.Tell();
}

bool RecordReader::ReadSolid(bool after_block) {
  std::optional<uint64_t> count = ReadNumber(package_, 4, &framing_);
  if (!count || *count == 0 || *count > 1u << 20) return false;
  members_.assign(static_cast<size_t>(*count), SolidMember());
  next_member_ = 0;
  uint64_t total = 0;
  for (SolidMember& member : members_) {
    std::optional<WString> name = ReadRecordName(package_, framing_);
    if (!name || !AcceptName(*name, member.name, current_.target)) return Stop(Cause::kBadName);
    if (!AddPackagePath(paths_, current_.target)) return Stop(Cause::kDuplicateName);
    std::optional<EntryTimes> times = ReadEntryTimes(package_, framing_);
    if (!times) return Stop(Cause::kTimesCut);
    member.times = *times;
    std::optional<SizedHash> made = ReadSizedHash(package_, &framing_);
    if (!made) return false;
    member.size = made->size;
    std::memcpy(member.hash, made->hash, 32);
    std::optional<uint64_t> filter = ReadNumber(package_, 1, &framing_);
    if (!filter || *filter > kBranchFilter) return false;
    member.filter = static_cast<uint8_t>(*filter);
    total += member.size;
  }
  // A fault of the block's own (its settings, its stream) names it by its first file.
  AcceptName(members_.front().name, current_.name, current_.target);
  std::optional<uint64_t> props = ReadNumber(package_, 1, &framing_);
  std::optional<uint64_t> dictionary = ReadNumber(package_, 4, &framing_);
  std::optional<uint64_t> preset = after_block ? ReadNumber(package_, 4, &framing_) : 0;
  std::optional<uint64_t> packed = ReadNumber(package_, 4, &framing_);
  LzmaProps coder;
  if (!props || !dictionary || !preset || !packed ||
      !LzmaPropsFromByte(static_cast<uint8_t>(*props), coder) || *dictionary > kMaxLzmaDictionary ||
      static_cast<int64_t>(*packed) > payload_end_ - package_.Tell()) {
    return false;
  }
  coder.dictionary = static_cast<uint32_t>(*dictionary);
  // A preset comes from the block right before, whole, and fits both windows.
  if (after_block && (*preset == 0 || *preset > solid_held_ || *preset > coder.dictionary))
    return false;
  solid_held_ = 0;
  block_total_ = *preset + total;
  block_held_ = std::min<uint64_t>(coder.dictionary, block_total_);
  // The stream is read by position; the package goes on after it.
  int64_t start = package_.Tell();
  std::vector<uint64_t> parts;
  for (const SolidMember& member : members_) parts.push_back(member.size);
  solid_ = std::make_unique<DecodeAhead>(
      std::make_unique<LzmaDecoder>(package_, start, static_cast<uint32_t>(*packed), total, coder,
                                    &solid_window_, static_cast<uint32_t>(*preset), solid_end_),
      std::move(parts));
  platform::Status moved = package_.Seek(start + static_cast<int64_t>(*packed), SEEK_SET);
  if (!moved) return Stop(Cause::kPackageReadFailed, moved);
  current_.number--;  // Next() hands the first file under the block's number
  return true;
}

bool RecordReader::ReadDeltaBlock() {
  std::optional<uint64_t> count = ReadNumber(package_, 4, &framing_);
  if (!count || *count == 0 || *count > kMaxBlockDeltas) return false;
  deltas_.clear();
  next_delta_ = 0;
  uint64_t totals[4] = {};
  Record block = std::move(current_);
  for (uint64_t i = 0; i < *count; ++i) {
    // Each file is a record of its own, numbered in turn, placed at the block.
    current_ = Record();
    current_.number = block.number + static_cast<int>(i);
    current_.offset = block.offset;
    current_.kind = RecordKind::kDelta;
    current_.in_block = current_.lzma_streams = true;
    if (!ReadTarget(false)) return false;
    std::optional<EntryTimes> times = ReadEntryTimes(package_, framing_);
    if (!times) return Stop(Cause::kTimesCut);
    current_.times = *times;
    // 0: a delta from one old version; 1: from whichever is installed, as
    // "alts" has it (its patches' parts one after the other, no whole file).
    std::optional<uint64_t> choice = ReadNumber(package_, 1, &framing_);
    if (!choice || *choice > 1) return false;
    if (*choice) current_.kind = RecordKind::kChoice;
    if (*choice ? !ReadChoice() || current_.whole_length != 0 : !ReadDeltaTail()) return false;
    for (int s = 0; s < 4; ++s) totals[s] += current_.patch_bytes(s);
    deltas_.push_back(std::move(current_));
  }
  current_ = std::move(block);
  current_.target = deltas_.front().target;  // the block's faults name its first file
  block_.reset(new SharedStream[4]);
  LzmaProps coder[4];
  for (int s = 0; s < 4; ++s) {
    std::optional<uint64_t> settings = ReadNumber(package_, 1, &framing_);
    std::optional<uint64_t> length = ReadNumber(package_, 4, &framing_);
    if (!settings || !length) return false;
    block_[s].end = *length;  // made a place below
    // Stored: exactly the bytes; LZMA: none where nothing is coded.
    bool stored = *settings == kStoredStream;
    if (stored ? *length != totals[s]
               : !LzmaPropsFromByte(static_cast<uint8_t>(*settings), coder[s]) ||
                     (totals[s] == 0 && *length != 0)) {
      return false;
    }
    coder[s].dictionary = stored ? 0 : kDeltaStreamWindow;
  }
  // The streams lie back to back inside the payload, read by position; the
  // package goes on after them.
  int64_t at = package_.Tell();
  for (int s = 0; s < 4; ++s) {
    SharedStream& stream = block_[s];
    int64_t length = stream.end;
    if (length > payload_end_ - at) return false;
    stream.next = at;
    stream.end = at + length;
    stream.left = left_after_[s] = totals[s];
    if (coder[s].dictionary && totals[s] > 0) {
      stream.lzma.reset(
          new LzmaDecoder(package_, at, static_cast<uint32_t>(length), totals[s], coder[s]));
    }
    at += length;
  }
  block_end_ = at;
  platform::Status moved = package_.Seek(at, SEEK_SET);
  return moved ? true : Stop(Cause::kPackageReadFailed, moved);
}

bool RecordReader::PassBlockPart() {
  for (int s = 0; s < 4; ++s) {
    SharedStream& stream = block_[s];
    if (stream.left < left_after_[s]) return Stop(Cause::kBadStream);  // a part read twice
    // A part not read (a file current already, a patch for another version)
    // is read here, and dropped.
    platform::Status read;
    if (!SkipShared(package_, stream, stream.left - left_after_[s], read)) {
      return Stop(read ? Cause::kBadStream : Cause::kPackageReadFailed, read);
    }
  }
  if (next_delta_ < deltas_.size()) return true;
  bool whole = true;
  for (int s = 0; s < 4; ++s) whole = whole && block_[s].Whole();
  block_.reset();
  deltas_.clear();
  next_delta_ = 0;
  if (!whole) return Stop(Cause::kBadStream);
  platform::Status moved = package_.Seek(block_end_, SEEK_SET);
  return moved ? true : Stop(Cause::kPackageReadFailed, moved);
}

InflateResult RecordReader::Content(ByteSink& sink) {
  // A file of a block, and an "alts" record's whole file, have the new
  // file's size and SHA-256 to match.
  if (!current_.in_block && current_.kind != RecordKind::kChoice) return OwnStream(sink);
  platform::Sha256 hash;
  uint64_t taken = 0;
  SinkTo hashed([&](const uint8_t* data, size_t got) {
    hash.Update(data, got);
    taken += got;
    return sink.Take(data, got);
  });
  if (!current_.in_block) {
    InflateResult read = OwnStream(hashed);
    if (read.end == InflateEnd::kDone && !IsNewFile(hash, taken)) read.end = InflateEnd::kDamaged;
    return read;
  }
  unread_ = false;
  const SolidMember& member = members_[next_member_ - 1];  // the file handed on last
  int64_t before = solid_->consumed();
  // Through the branch filter, in pieces, each with the undecided bytes the
  // last one ended with before it.
  std::vector<uint8_t> piece;
  uint64_t at = 0;
  size_t held = 0;
  SinkTo unfiltered([&](const uint8_t* data, size_t size) {
    piece.resize(64 * 1024 + 4);
    while (size > 0) {
      size_t take = std::min<size_t>(size, 64 * 1024), all = held + take;
      std::memcpy(piece.data() + held, data, take);
      size_t done = FilterBranches(piece.data(), all, at, false);
      if (!hashed.Take(piece.data(), done)) return false;
      at += done;
      held = all - done;
      std::memmove(piece.data(), piece.data() + done, held);
      data += take;
      size -= take;
    }
    return true;
  });
  ByteSink& into = member.filter == kBranchFilter ? static_cast<ByteSink&>(unfiltered) : hashed;
  InflateResult read{solid_->Decode(into), solid_->os_error()};
  if (read.end == InflateEnd::kDone && held > 0 && !hashed.Take(piece.data(), held)) {
    read.end = InflateEnd::kSinkFailed;
  }
  content_packed_ = solid_->consumed() - before;
  bool last = next_member_ == members_.size();
  if (read.end == InflateEnd::kDone &&
      (!IsNewFile(hash, taken) || (last && !solid_->EndedWhole()))) {
    read.end = InflateEnd::kDamaged;
  }
  if (last) {
    solid_.reset();
    // The ring is as large as the block's window, or its bytes where fewer.
    solid_end_ = static_cast<size_t>(block_total_ % std::max<uint64_t>(block_held_, 1));
    if (read.end == InflateEnd::kDone) solid_held_ = block_held_;
  }
  return read;
}

bool RecordReader::IsNewFile(platform::Sha256& hash, uint64_t size) const {
  uint8_t digest[32];
  return size == current_.delta.new_size && hash.Finish(digest) &&
         std::memcmp(digest, current_.delta.new_hash, 32) == 0;
}

InflateResult RecordReader::OwnStream(ByteSink& sink) {
  int64_t start = package_.Tell();
  InflateResult read = current_.whole_lzma ? WholeLzma(sink) : InflateStream(package_, sink);
  content_packed_ = package_.Tell() - start;
  return read;
}

InflateResult RecordReader::WholeLzma(ByteSink& sink) {
  int64_t start = package_.Tell();
  StreamPuller whole(package_, start, current_.whole_length, true);
  uint8_t buffer[16 * 1024];
  for (size_t got; (got = whole.Pull(buffer, sizeof buffer)) > 0;) {
    if (!sink.Take(buffer, got)) return {InflateEnd::kSinkFailed, 0};
  }
  if (!whole.read) return {InflateEnd::kReadFailed, whole.read.error()};
  if (!whole.Ended()) return {InflateEnd::kDamaged, 0};
  platform::Status moved = package_.Seek(start + current_.whole_length, SEEK_SET);
  return moved ? InflateResult{InflateEnd::kDone, 0}
               : InflateResult{InflateEnd::kReadFailed, moved.error()};
}

bool RecordReader::AcceptName(const WString& name, WString& accepted, WString& target) const {
  if (!IsAcceptableEntryName(name)) return false;
  std::optional<WString> joined = platform::AppendPath(root_, name);
  if (!joined) return false;
  accepted = name;
  target = *joined;
  return true;
}

Cause CauseOf(LocateResult located) {
  switch (located) {
    case LocateResult::kFound:
      return Cause::kNone;
    case LocateResult::kNoPackage:
      return Cause::kNoPackage;
    case LocateResult::kCut:
      return Cause::kPackageCut;
    case LocateResult::kDamaged:
      return Cause::kBadTrailer;
    case LocateResult::kImageMismatch:
      return Cause::kBadImage;
    case LocateResult::kMismatch:
      break;
  }
  return Cause::kBadCheck;
}

Failure OpenPackage(const WString& path, platform::File& package, int64_t& payload_end) {
  platform::Result<platform::File> opened = platform::OpenFile(path, "rb");
  if (!opened) return Fail(Cause::kCannotOpenPackage, path, opened.status());
  package = std::move(*opened);
  LocateResult located = LocatePayload(package, &payload_end);
  if (located == LocateResult::kFound) return {};
  if (located != LocateResult::kDamaged) return Fail(CauseOf(located), path, package.status());
  Failure damaged = Fail(Cause::kBadTrailer, path);
  damaged.offset = payload_end;
  return damaged;
}

void AppendReleaseName(WString& line, const std::vector<WString>& labels, size_t i) {
  if (i < labels.size() && !labels[i].empty()) {
    line += labels[i];
  } else {
    line.append(u"release ").append(Decimal(i + 1));
  }
}

}  // namespace updater::package
