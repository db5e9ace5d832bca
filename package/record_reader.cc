#include "package/record_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "package/branch_filter.h"
#include "package/content_stream.h"
#include "package/deflate_form.h"
#include "package/format.h"
#include "package/sample_filter.h"

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

namespace {

// A removal's one version: the file of `old`'s size and SHA-256.
void RemovesOne(Record& record, const SizedHash& old) {
  record.delta.old_size = record.versions[0].size = old.size;
  std::memcpy(record.delta.old_hash, old.hash, 32);
  std::memcpy(record.versions[0].hash, old.hash, 32);
  record.version_count = 1;
}

}  // namespace

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
  platform::Status status;
  if (deltas_.active()) {
    Cause passed = deltas_.PassPart(package_, status);
    if (passed != Cause::kNone) return Stop(passed, status);
  }
  if (deltas_.HasNext()) {
    current_ = deltas_.Next();
    return Hand(record);
  }
  if (solid_.HasNext()) return HandMember(record);
  return ReadRecord(record);
}

bool RecordReader::HandMember(Record& record) {
  const SolidMember& member = solid_.Next();
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

bool RecordReader::ReadRecord(Record& record) {
  int number = current_.number + 1;
  current_ = Record();
  current_.number = number;
  current_.offset = package_.Tell();
  RecordTag tag = RecordTag::kInvalid;
  if (Cause cause = ReadTag(tag); cause != Cause::kNone) return Stop(cause);
  bool solid = tag == RecordTag::kSolid || tag == RecordTag::kSolidAfter;
  if (!solid) solid_.DropWindow();
  if (tag == RecordTag::kEnd) {
    if (old_removals_handed_ == old_removals_.size()) return false;
    // Back before the trailer, for the next call to find it again.
    platform::Status back = package_.Seek(payload_end_, SEEK_SET);
    return back ? HandRemoval(record) : Stop(Cause::kPackageReadFailed, back);
  }
  if (solid || tag == RecordTag::kDeltaBlock) {
    platform::Status status;
    Cause read = solid ? ReadSolid(tag == RecordTag::kSolidAfter, status) : ReadDeltaBlock(status);
    return read != Cause::kNone ? Stop(read, status) : Next(record);
  }
  if (tag == RecordTag::kInvalid || tag == RecordTag::kLabel || tag == RecordTag::kReleases) {
    return Stop(Cause::kBadTag);
  }
  Cause read = ReadFields(tag);
  return read != Cause::kNone ? Stop(read) : Hand(record);
}

Cause RecordReader::ReadTag(RecordTag& tag) {
  tag = ReadNextTag(package_, payload_end_);
  if (tag == RecordTag::kLabel && current_.offset == start_) {
    label_ = ReadEntryName(package_, &framing_);
    if (!label_) return Cause::kBadName;
    if (!IsAcceptableLabel(*label_)) return Cause::kBadLabel;
    current_.offset = package_.Tell();
    tag = ReadNextTag(package_, payload_end_);
  }
  // The release labels, first or after the version label, once.
  if (tag == RecordTag::kReleases && current_.number == 1 && releases_.empty()) {
    if (Cause cause = ReadReleases(); cause != Cause::kNone) return cause;
    current_.offset = package_.Tell();
    tag = ReadNextTag(package_, payload_end_);
  }
  return Cause::kNone;
}

Cause RecordReader::ReadFields(RecordTag tag) {
  const RecordTagRow& row = kRecordTags[static_cast<int>(tag)];
  current_.lzma_streams = row.lzma_streams;
  current_.whole_lzma = row.whole_lzma;
  current_.literals_after_old = row.literals_after_old;
  current_.kind = row.kind;
  bool removal = current_.kind == RecordKind::kRemove;
  if (Cause cause = ReadTarget(removal); cause != Cause::kNone) return cause;
  if (tag == RecordTag::kRemove) {
    std::optional<SizedHash> old = ReadSizedHash(package_, &framing_);
    if (!old) return Cause::kBadStream;
    RemovesOne(current_, *old);
  }
  if (removal) return tag == RecordTag::kRemoveAny ? ReadVersions(false) : Cause::kNone;
  std::optional<EntryTimes> times = ReadEntryTimes(package_, framing_);
  if (!times) return Cause::kTimesCut;
  current_.times = *times;
  if (current_.kind == RecordKind::kChoice) return ReadChoice();
  if (!current_.is_delta()) return Cause::kNone;
  if (Cause cause = ReadDeltaTail(); cause != Cause::kNone) return cause;
  // The streams lie inside the payload.
  if (current_.streams_size() > payload_end_ - package_.Tell()) return Cause::kBadStream;
  return Cause::kNone;
}

Cause RecordReader::ReadTarget(bool removal) {
  std::optional<WString> name = ReadPrefixedName(package_, framing_, framing_.name);
  if (!name || !AcceptName(*name, current_.name, current_.target)) return Cause::kBadName;
  if (!AddPackagePath(paths_, current_.target, removal)) return Cause::kDuplicateName;
  return Cause::kNone;
}

Cause RecordReader::ReadOldNameInto(WString& old_name, bool* removed) {
  // No name: the file's own. Another is checked as a name, and only kept.
  bool removes = false;
  std::optional<WString> read = ReadOldName(package_, framing_, current_.name, removes);
  WString old_target;
  old_name = current_.name;
  if (!read || (!read->empty() && !AcceptName(*read, old_name, old_target))) {
    return Cause::kBadName;
  }
  if (removes && !removed) return Cause::kBadStream;
  if (removed) *removed = removes;
  return Cause::kNone;
}

bool RecordReader::HandRemoval(Record& record) {
  const uint8_t* kept = &old_removed_[40 * old_removals_handed_];
  const WString& name = old_removals_[old_removals_handed_++];
  SizedHash old;
  old.size = GetLittleEndian(kept, 8);
  std::memcpy(old.hash, kept + 8, 32);
  current_.kind = RecordKind::kRemove;
  RemovesOne(current_, old);
  if (!AcceptName(name, current_.name, current_.target)) return Stop(Cause::kBadName);
  if (!AddPackagePath(paths_, current_.target, true)) return Stop(Cause::kDuplicateName);
  return Hand(record);
}

Cause RecordReader::ReadDeltaTail() {
  bool removes_old = false;
  if (Cause cause = ReadOldNameInto(current_.old_name, &removes_old); cause != Cause::kNone) {
    return cause;
  }
  std::optional<DeltaHeader> delta = ReadDeltaHeader(package_, &framing_);
  if (!delta) return Cause::kBadStream;
  current_.delta = *delta;
  if (removes_old) {
    old_removals_.push_back(current_.old_name);
    uint8_t size[8];
    PutLittleEndian(size, delta->old_size, 8);
    old_removed_.insert(old_removed_.end(), size, size + 8);
    old_removed_.insert(old_removed_.end(), delta->old_hash, delta->old_hash + 32);
  }
  // The literals' window holds the whole old file: at most kMaxLzmaDictionary.
  if (current_.literals_after_old &&
      (delta->old_size == 0 || delta->old_size > kMaxLzmaDictionary)) {
    return Cause::kBadStream;
  }
  // A moved file has no streams: its bytes are the old file's.
  for (uint32_t& length : current_.stream_lengths) {
    if (delta->moved) break;
    std::optional<uint64_t> read = ReadNumber(package_, 4, &framing_);
    if (!read) return Cause::kBadStream;
    length = static_cast<uint32_t>(*read);
  }
  return Cause::kNone;
}

bool RecordReader::Hand(Record& record) {
  record = std::move(current_);
  current_.target = record.target;      // for Fault
  current_.in_block = record.in_block;  // and for Content
  return true;
}

Cause RecordReader::ReadReleases() {
  std::optional<uint64_t> count = ReadNumber(package_, 1, &framing_);
  if (!count || *count == 0 || *count > kMaxReleases) return Cause::kBadLabel;
  for (uint64_t i = 0; i < *count; ++i) {
    std::optional<WString> label = ReadEntryName(package_, &framing_);
    if (!label || !IsAcceptableLabel(*label)) return Cause::kBadLabel;
    releases_.push_back(*label);
  }
  return Cause::kNone;
}

Cause RecordReader::ReadVersions(bool patches) {
  std::optional<uint64_t> current = ReadNumber(package_, 4, &framing_);
  std::optional<uint64_t> count = ReadNumber(package_, 1, &framing_);
  if (!current || !count || *count == 0 || *count > kMaxReleases) return Cause::kBadStream;
  current_.current_in = static_cast<uint32_t>(*current);
  current_.version_count = static_cast<int>(*count);
  for (int i = 0; i < current_.version_count; ++i) {
    Version& version = current_.versions[i];
    if (patches) {
      WString old_name;
      if (Cause cause = ReadOldNameInto(old_name); cause != Cause::kNone) return cause;
      current_.old_names.push_back(std::move(old_name));
    }
    std::optional<SizedHash> old = ReadSizedHash(package_, &framing_);
    std::optional<uint64_t> releases = ReadNumber(package_, 4, &framing_);
    std::optional<uint64_t> patch = ReadNumber(package_, patches ? 1 : 0, &framing_);
    if (!old || !releases || !patch) return Cause::kBadStream;
    version.size = old->size;
    std::memcpy(version.hash, old->hash, 32);
    version.releases = static_cast<uint32_t>(*releases);
    version.patch = static_cast<uint8_t>(*patch);
  }
  return Cause::kNone;
}

Cause RecordReader::ReadChoice() {
  std::optional<SizedHash> made = ReadSizedHash(package_, &framing_);
  if (!made) return Cause::kBadStream;
  current_.delta.new_size = made->size;
  std::memcpy(current_.delta.new_hash, made->hash, 32);
  if (Cause cause = ReadVersions(true); cause != Cause::kNone) return cause;
  std::optional<uint64_t> patches = ReadNumber(package_, 1, &framing_);
  if (!patches || *patches == 0 || *patches > kMaxReleases) return Cause::kBadStream;
  current_.patch_count = static_cast<int>(*patches);
  for (size_t i = 0; i < 4 * *patches; ++i) {
    std::optional<uint64_t> read = ReadNumber(package_, 4, &framing_);
    if (!read) return Cause::kBadStream;
    current_.patch_lengths[i / 4][i % 4] = static_cast<uint32_t>(*read);
  }
  std::optional<uint64_t> whole = ReadNumber(package_, 4, &framing_);
  if (!whole) return Cause::kBadStream;
  current_.whole_length = static_cast<uint32_t>(*whole);
  for (int i = 0; i < current_.version_count; ++i) {
    if (current_.versions[i].patch >= *patches) return Cause::kBadStream;
  }
  // The streams lie inside the payload.
  if (current_.streams_size() > payload_end_ - package_.Tell()) return Cause::kBadStream;
  return Cause::kNone;
}

Cause RecordReader::ReadSolid(bool after_block, platform::Status& status) {
  std::optional<uint64_t> count = ReadNumber(package_, 4, &framing_);
  if (!count || *count == 0 || *count > 1u << 20) return Cause::kBadStream;
  std::vector<SolidMember> members(static_cast<size_t>(*count));
  for (SolidMember& member : members) {
    std::optional<WString> name = ReadPrefixedName(package_, framing_, framing_.name);
    if (!name || !AcceptName(*name, member.name, current_.target)) return Cause::kBadName;
    if (!AddPackagePath(paths_, current_.target)) return Cause::kDuplicateName;
    std::optional<EntryTimes> times = ReadEntryTimes(package_, framing_);
    if (!times) return Cause::kTimesCut;
    member.times = *times;
    std::optional<SizedHash> made = ReadSizedHash(package_, &framing_);
    if (!made) return Cause::kBadStream;
    member.size = made->size;
    std::memcpy(member.hash, made->hash, 32);
    std::optional<uint64_t> filter = ReadNumber(package_, 1, &framing_);
    if (!filter || *filter > kDeflatedFilter || *filter == 1) return Cause::kBadStream;
    member.filter = static_cast<uint8_t>(*filter);
    const bool deflated = member.filter == kDeflatedFilter;
    std::optional<uint64_t> coded = member.size, samples = 0, map = 0;
    if (member.filter == kSplitBranchFilter || deflated) coded = ReadNumber(package_, 8, &framing_);
    if (member.filter == kSampleFilter) samples = ReadNumber(package_, 1, &framing_);
    if (deflated) map = ReadNumber(package_, 4, &framing_);
    if (!coded || !samples || *samples > kMostSampleForm || !map ||
        (deflated ? member.size > kMaxFormSize || *coded > kMaxFormSize
                  : *coded < member.size || *coded - member.size > MostSplitBytes(member.size))) {
      return Cause::kBadStream;
    }
    member.coded = *coded;
    member.samples = static_cast<uint8_t>(*samples);
    if (!deflated) continue;
    // The map is read as its file is decoded; the package goes on after it.
    member.map_at = package_.Tell();
    member.map_length = static_cast<uint32_t>(*map);
    if (*map > static_cast<uint64_t>(payload_end_ - member.map_at)) return Cause::kBadStream;
    status = package_.Seek(member.map_at + member.map_length, SEEK_SET);
    if (!status) return Cause::kPackageReadFailed;
  }
  // A fault of the block's own (its settings, its stream) names it by its first file.
  AcceptName(members.front().name, current_.name, current_.target);
  Cause opened =
      solid_.Open(package_, framing_, payload_end_, std::move(members), after_block, status);
  if (opened != Cause::kNone) return opened;
  current_.number--;  // Next() hands the first file under the block's number
  return Cause::kNone;
}

Cause RecordReader::ReadDeltaBlock(platform::Status& status) {
  std::optional<uint64_t> count = ReadNumber(package_, 4, &framing_);
  if (!count || *count == 0 || *count > kMaxBlockDeltas) return Cause::kBadStream;
  std::vector<Record> deltas;
  Record block = std::move(current_);
  for (uint64_t i = 0; i < *count; ++i) {
    // Each file is a record of its own, numbered in turn, placed at the block.
    current_ = Record();
    current_.number = block.number + static_cast<int>(i);
    current_.offset = block.offset;
    current_.kind = RecordKind::kDelta;
    current_.in_block = current_.lzma_streams = true;
    if (Cause cause = ReadTarget(false); cause != Cause::kNone) return cause;
    std::optional<EntryTimes> times = ReadEntryTimes(package_, framing_);
    if (!times) return Cause::kTimesCut;
    current_.times = *times;
    // 0: a delta from one old version; 1: from whichever is installed, as
    // "alts" has it (its patches' parts one after the other, no whole file).
    std::optional<uint64_t> choice = ReadNumber(package_, 1, &framing_);
    if (!choice || *choice > 1) return Cause::kBadStream;
    if (*choice) current_.kind = RecordKind::kChoice;
    Cause read = *choice ? ReadChoice() : ReadDeltaTail();
    if (read != Cause::kNone) return read;
    if (*choice && current_.whole_length != 0) return Cause::kBadStream;
    deltas.push_back(std::move(current_));
  }
  current_ = std::move(block);
  current_.target = deltas.front().target;  // the block's faults name its first file
  return deltas_.Open(package_, framing_, payload_end_, std::move(deltas), status);
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
  InflateResult read = solid_.Decode(hashed, content_packed_);
  if (read.end == InflateEnd::kDone && !IsNewFile(hash, taken)) read.end = InflateEnd::kDamaged;
  if (solid_.IsLast()) solid_.End(read.end == InflateEnd::kDone);
  return read;
}

int64_t RecordReader::PassContent() {
  unread_ = false;
  return solid_.IsFirst() ? solid_.packed() : 0;
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
