#include "package/package_index.h"

#include "package/content_stream.h"

PackageFault ReadRecordHeader(platform::File& package, const WString& root, PackagePaths& paths,
                              RecordHeader& header) {
  std::optional<WString> name = ReadEntryName(package);
  if (!name || !IsAcceptableEntryName(*name)) return PackageFault::kBadName;
  std::optional<WString> target = platform::AppendPath(root, *name);
  if (!target) return PackageFault::kBadName;
  if (!AddPackagePath(paths, *target)) return PackageFault::kDuplicateName;
  std::optional<EntryTimes> times = ReadEntryTimes(package);
  if (!times) return PackageFault::kTimesCut;
  header = RecordHeader{*name, *target, *times};
  return PackageFault::kNone;
}

namespace {

PackageFault ReadOneEntry(platform::File& package, PackagePaths& paths, IndexedEntry& entry) {
  RecordHeader header;
  PackageFault fault = ReadRecordHeader(package, u".\\", paths, header);
  if (fault != PackageFault::kNone) return fault;
  entry.name = header.name;
  entry.times = header.times;
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
    RecordTag tag = ReadNextTag(package, payload_end);
    if (tag == RecordTag::kEnd) return {};
    if (tag != RecordTag::kFile) return {PackageFault::kBadTag, number, entry.offset};
    PackageFault fault = ReadOneEntry(package, paths, entry);
    if (fault != PackageFault::kNone) return {fault, number, entry.offset};
    visit(entry);
  }
}
