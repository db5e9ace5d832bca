#include "package/record_reader.h"

#include <utility>

#include "package/format.h"

namespace updater::package {

RecordReader::RecordReader(platform::File& package, int64_t payload_end, WString root)
    : package_(package), payload_end_(payload_end), root_(std::move(root)) {}

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
  switch (ReadNextTag(package_, payload_end_)) {
    case RecordTag::kEnd:
      return false;
    case RecordTag::kInvalid:
      return Stop(Cause::kBadTag);
    case RecordTag::kFile:
      break;
    case RecordTag::kDelta:
      current_.is_delta = true;
      break;
  }
  std::optional<WString> name = ReadEntryName(package_);
  if (!name || !IsAcceptableEntryName(*name)) return Stop(Cause::kBadName);
  std::optional<WString> target = platform::AppendPath(root_, *name);
  if (!target) return Stop(Cause::kBadName);
  current_.name = *name;
  current_.target = *target;
  if (!AddPackagePath(paths_, *target)) return Stop(Cause::kDuplicateName);
  std::optional<EntryTimes> times = ReadEntryTimes(package_);
  if (!times) return Stop(Cause::kTimesCut);
  current_.times = *times;
  if (current_.is_delta) {
    std::optional<DeltaHeader> delta = ReadDeltaHeader(package_);
    if (!delta) return Stop(Cause::kBadStream);
    current_.delta = *delta;
  }
  record = current_;
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
