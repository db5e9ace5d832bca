#include "package/package_index.h"

#include "package/content_stream.h"
#include "package/entry_name.h"

namespace {

PackageFault ReadOneEntry(platform::File& package, PackagePaths& paths, IndexedEntry& entry) {
  std::optional<WString> name = ReadEntryName(package);
  if (!name || !IsAcceptableEntryName(*name)) return PackageFault::kBadName;
  std::optional<WString> joined = platform::AppendPath(u".\\", *name);
  if (!joined) return PackageFault::kBadName;
  if (!AddPackagePath(paths, *joined)) return PackageFault::kDuplicateName;
  std::optional<EntryTimes> times = ReadEntryTimes(package);
  if (!times) return PackageFault::kTimesCut;
  entry.name = *name;
  entry.times = *times;
  int64_t stream_start = package.Tell();
  entry.size = 0;
  bool inflated = InflateStream(package, [&entry](const uint8_t*, size_t size) {
    entry.size += static_cast<int64_t>(size);
    return true;
  });
  if (!inflated) return PackageFault::kBadStream;
  entry.packed_size = package.Tell() - stream_start;
  return PackageFault::kNone;
}

}  // namespace

IndexResult ReadPackageIndex(const WString& path,
                             const std::function<void(const IndexedEntry&)>& visit) {
  platform::File package = platform::OpenFile(path, "rb");
  if (!package) return {PackageFault::kCannotOpen, 0, 0};
  int64_t payload_end = 0;
  switch (LocatePayload(package, &payload_end)) {
    case LocateResult::kFound:
      break;
    case LocateResult::kNoPackage:
      return {PackageFault::kNoPackage, 0, 0};
    case LocateResult::kDamaged:
      return {PackageFault::kBadTrailer, 0, payload_end};
  }
  PackagePaths paths;
  for (int number = 1;; ++number) {
    IndexedEntry entry;
    entry.offset = package.Tell();
    RecordTag tag = ReadRecordTag(package);
    if (tag == RecordTag::kEnd && package.Tell() == payload_end + 4) return {};
    if (tag != RecordTag::kFile) return {PackageFault::kBadTag, number, entry.offset};
    PackageFault fault = ReadOneEntry(package, paths, entry);
    if (fault != PackageFault::kNone) return {fault, number, entry.offset};
    visit(entry);
  }
}
