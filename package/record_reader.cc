#include "package/record_reader.h"

#include <utility>

#include "package/format.h"

namespace updater::package {

RecordReader::RecordReader(platform::File& package, int64_t payload_end, WString root)
    : package_(package),
      payload_end_(payload_end),
      start_(package.Tell()),
      root_(std::move(root)) {}

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
  Record next;
  next.number = current_.number + 1;
  next.offset = package_.Tell();
  current_ = next;
  RecordTag tag = ReadNextTag(package_, payload_end_);
  if (tag == RecordTag::kLabel && next.offset == start_) {
    label_ = ReadEntryName(package_);
    if (!label_) return Stop(Cause::kBadName);
    if (!IsAcceptableLabel(*label_)) return Stop(Cause::kBadLabel);
    current_.offset = package_.Tell();
    tag = ReadNextTag(package_, payload_end_);
  }
  switch (tag) {
    case RecordTag::kEnd:
      return false;
    case RecordTag::kInvalid:
    case RecordTag::kLabel:
      return Stop(Cause::kBadTag);
    case RecordTag::kFile:
      break;
    case RecordTag::kDelta:
      current_.kind = RecordKind::kDelta;
      break;
    case RecordTag::kRemove:
      current_.kind = RecordKind::kRemove;
      break;
  }
  std::optional<WString> name = ReadEntryName(package_);
  if (!name || !AcceptName(*name, current_.name, current_.target)) return Stop(Cause::kBadName);
  if (!AddPackagePath(paths_, current_.target)) return Stop(Cause::kDuplicateName);
  if (current_.kind == RecordKind::kRemove) {
    std::optional<DeltaHeader> old = ReadDeltaHeader(package_, false);
    if (!old) return Stop(Cause::kBadStream);
    current_.delta = *old;
    record = current_;
    return true;
  }
  std::optional<EntryTimes> times = ReadEntryTimes(package_);
  if (!times) return Stop(Cause::kTimesCut);
  current_.times = *times;
  if (current_.is_delta()) {
    // No name: the file's own. Another is checked as a name, and only kept.
    std::optional<WString> old_name = ReadEntryName(package_);
    WString old_target;
    current_.old_name = current_.name;
    if (!old_name ||
        (!old_name->empty() && !AcceptName(*old_name, current_.old_name, old_target))) {
      return Stop(Cause::kBadName);
    }
    std::optional<DeltaHeader> delta = ReadDeltaHeader(package_);
    if (!delta) return Stop(Cause::kBadStream);
    current_.delta = *delta;
    uint8_t lengths[16];
    if (package_.Read(lengths, sizeof lengths) != sizeof lengths) return Stop(Cause::kBadStream);
    for (int i = 0; i < 16; ++i) {
      current_.stream_lengths[i / 4] |= static_cast<uint32_t>(lengths[i]) << (8 * (i % 4));
    }
    // The streams lie inside the payload.
    if (current_.streams_size() > payload_end_ - package_.Tell()) return Stop(Cause::kBadStream);
  }
  record = current_;
  return true;
}

bool RecordReader::AcceptName(const WString& name, WString& accepted, WString& target) const {
  if (!IsAcceptableEntryName(name)) return false;
  std::optional<WString> joined = platform::AppendPath(root_, name);
  if (!joined) return false;
  accepted = name;
  target = *joined;
  return true;
}

Failure OpenPackage(const WString& path, platform::File& package, int64_t& payload_end) {
  platform::Result<platform::File> opened = platform::OpenFile(path, "rb");
  if (!opened) return Fail(Cause::kCannotOpenPackage, path, opened.status());
  package = std::move(*opened);
  switch (LocatePayload(package, &payload_end)) {
    case LocateResult::kFound:
      return {};
    case LocateResult::kNoPackage:
      return Fail(Cause::kNoPackage, path, package.status());
    case LocateResult::kCut:
      return Fail(Cause::kPackageCut, path, package.status());
    case LocateResult::kDamaged:
      break;
  }
  Failure damaged = Fail(Cause::kBadTrailer, path);
  damaged.offset = payload_end;
  return damaged;
}

}  // namespace updater::package
