#include "package/package_index.h"

#include <algorithm>
#include <cstring>

#include "package/content_stream.h"
#include "package/delta.h"

namespace updater::package {
namespace {

// Reads the four streams of a delta for their structure alone (its
// differences and literals only to see that they are all there), and
// leaves the package after them.
Failure ReadDeltaStreams(platform::File& package, const RecordReader& reader, IndexedEntry& entry) {
  const Record& record = entry.record;
  int64_t start = package.Tell();
  SplitStreams streams(package, start, record.stream_lengths);
  struct Drain : DeltaSink {
    SplitStreams& streams;
    explicit Drain(SplitStreams& s) : streams(s) {}
    bool Copy(uint64_t, uint64_t) override { return true; }
    bool Literal(uint64_t length) override { return Skip(streams.literals, length); }
    bool Difference(uint64_t, uint64_t length) override {
      return streams.SkipDifferences(length);  // however long its runs of zeros
    }
    static bool Skip(StreamPuller& stream, uint64_t length) {
      uint8_t buffer[4096];
      for (size_t got = 1; length > 0 && got > 0; length -= got) {
        got = stream.Pull(buffer, static_cast<size_t>(std::min<uint64_t>(length, sizeof buffer)));
      }
      return length == 0;
    }
  } drain(streams);
  DeltaOps ops(record.delta.old_size, record.delta.new_size, drain);
  InflateResult run = RunSplitDelta(streams, ops);
  entry.packed_size = record.streams_size();
  entry.size = static_cast<int64_t>(record.delta.new_size);
  std::memcpy(entry.sha256, record.delta.new_hash, sizeof entry.sha256);
  platform::Status after = package.Seek(start + record.streams_size(), SEEK_SET);
  if (run.end == InflateEnd::kReadFailed || !after) {
    return reader.Fault(Cause::kPackageReadFailed,
                        after ? platform::Status::Error(run.os_error) : after);
  }
  if (run.end == InflateEnd::kDamaged) return reader.Fault(Cause::kBadStream);
  return run.end == InflateEnd::kDone && ops.Complete() ? Failure()
                                                        : reader.Fault(Cause::kBadDelta);
}

// Reads the stream of the record just read, checking a delta's operations
// for structure alone (the old file is not at hand).
Failure ReadStream(platform::File& package, const RecordReader& reader, IndexedEntry& entry,
                   bool hashes) {
  const Record& record = entry.record;
  if (record.kind == RecordKind::kRemove) {  // no stream: the file it removes
    entry.size = static_cast<int64_t>(record.delta.old_size);
    std::memcpy(entry.sha256, record.delta.old_hash, sizeof entry.sha256);
    return {};
  }
  if (record.is_delta()) return ReadDeltaStreams(package, reader, entry);
  platform::Sha256 hash;
  int64_t start = package.Tell();
  SinkTo read([&](const uint8_t* data, size_t size) {
    entry.size += static_cast<int64_t>(size);
    if (hashes) hash.Update(data, size);
    return true;
  });
  InflateResult inflated = InflateStream(package, read);
  entry.packed_size = package.Tell() - start;
  if (inflated.end == InflateEnd::kReadFailed) {
    return reader.Fault(Cause::kPackageReadFailed, platform::Status::Error(inflated.os_error));
  }
  if (inflated.end != InflateEnd::kDone) return reader.Fault(Cause::kBadStream);
  if (hashes && !hash.Finish(entry.sha256)) return reader.Fault(Cause::kBadStream);
  return {};
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
    if (failure.failed()) break;
    visit(entry);
  }
  if (label) *label = reader.label();  // read with the first record, whatever follows
  return failure.failed() ? failure : reader.failure();
}

}  // namespace updater::package
