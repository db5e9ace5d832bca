#include "package/package_index.h"

#include "package/content_stream.h"
#include "package/delta.h"

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

// Reads a delta's operation stream, checking its structure alone (the old
// file is not at hand).
PackageFault ReadDeltaStream(platform::File& package, IndexedEntry& entry) {
  std::optional<DeltaHeader> delta = ReadDeltaHeader(package);
  if (!delta) return PackageFault::kBadStream;
  entry.old_size = static_cast<int64_t>(delta->old_size);
  entry.size = static_cast<int64_t>(delta->new_size);
  DeltaOps ops(
      delta->old_size, delta->new_size, [](uint64_t, uint64_t) { return true; },
      [](const uint8_t*, size_t) { return true; });
  bool sound = true;
  bool inflated = InflateStream(package, [&](const uint8_t* data, size_t size) {
    sound = sound && ops.Feed(data, size);
    return true;
  });
  if (!inflated) return PackageFault::kBadStream;
  return sound && ops.Complete() ? PackageFault::kNone : PackageFault::kBadDelta;
}

PackageFault ReadOneEntry(platform::File& package, PackagePaths& paths, IndexedEntry& entry) {
  RecordHeader header;
  PackageFault fault = ReadRecordHeader(package, u".\\", paths, header);
  if (fault != PackageFault::kNone) return fault;
  entry.name = header.name;
  entry.times = header.times;
  int64_t stream_start = package.Tell();
  if (entry.is_delta) {
    fault = ReadDeltaStream(package, entry);
    if (fault != PackageFault::kNone) return fault;
    stream_start += 80;  // the sizes and hashes
  } else if (!InflateStream(package, [&entry](const uint8_t*, size_t size) {
               entry.size += static_cast<int64_t>(size);
               return true;
             })) {
    return PackageFault::kBadStream;
  }
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
    if (tag != RecordTag::kFile && tag != RecordTag::kDelta) {
      return {PackageFault::kBadTag, number, entry.offset};
    }
    entry.is_delta = tag == RecordTag::kDelta;
    PackageFault fault = ReadOneEntry(package, paths, entry);
    if (fault != PackageFault::kNone) return {fault, number, entry.offset};
    visit(entry);
  }
}
