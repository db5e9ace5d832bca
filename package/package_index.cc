#include "package/package_index.h"

#include <cstring>

#include "package/content_stream.h"
#include "package/delta.h"

namespace updater::package {
namespace {

// Reads the stream of the record just read, checking a delta's operations
// for structure alone (the old file is not at hand).
Failure ReadStream(platform::File& package, const RecordReader& reader, IndexedEntry& entry,
                   bool hashes) {
  platform::Sha256 hash;
  const Record& record = entry.record;
  if (record.kind == RecordKind::kRemove) {  // no stream: the file it removes
    entry.size = static_cast<int64_t>(record.delta.old_size);
    std::memcpy(entry.sha256, record.delta.old_hash, sizeof entry.sha256);
    return {};
  }
  int64_t start = package.Tell();
  bool sound = true;
  struct : DeltaSink {  // the structure alone
    bool Copy(uint64_t, uint64_t) override { return true; }
    bool Add(const uint8_t*, size_t) override { return true; }
  } any;
  DeltaOps ops(record.delta.old_size, record.delta.new_size, any);
  SinkTo read([&](const uint8_t* data, size_t size) {
    entry.size += static_cast<int64_t>(size);
    if (record.is_delta()) sound = sound && ops.Feed(data, size);
    if (hashes && !record.is_delta()) hash.Update(data, size);
    return true;
  });
  InflateResult inflated = InflateStream(package, read);
  entry.packed_size = package.Tell() - start;
  switch (inflated.end) {
    case InflateEnd::kDone:
    case InflateEnd::kSinkFailed:
      break;
    case InflateEnd::kDamaged:
      return reader.Fault(Cause::kBadStream);
    case InflateEnd::kReadFailed:
      return reader.Fault(Cause::kPackageReadFailed, platform::Status::Error(inflated.os_error));
  }
  if (!record.is_delta()) {
    if (hashes && !hash.Finish(entry.sha256)) return reader.Fault(Cause::kBadStream);
    return {};
  }
  std::memcpy(entry.sha256, record.delta.new_hash, sizeof entry.sha256);
  entry.size = static_cast<int64_t>(record.delta.new_size);
  return sound && ops.Complete() ? Failure() : reader.Fault(Cause::kBadDelta);
}

}  // namespace

Failure ReadPackageIndex(const WString& path, const std::function<void(const IndexedEntry&)>& visit,
                         bool hashes, std::optional<WString>* label) {
  platform::File package;
  int64_t payload_end = 0;
  Failure failure = OpenPackage(path, package, payload_end);
  if (failure.failed()) return failure;
  RecordReader reader(package, payload_end, u".\\");
  for (IndexedEntry entry; reader.Next(entry.record); entry = IndexedEntry()) {
    failure = ReadStream(package, reader, entry, hashes);
    if (failure.failed()) return failure;
    visit(entry);
  }
  if (label) *label = reader.label();
  return reader.failure();
}

}  // namespace updater::package
