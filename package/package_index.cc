#include "package/package_index.h"

#include <algorithm>
#include <cstring>

#include "package/content_stream.h"
#include "package/delta.h"

namespace updater::package {
namespace {

// Reads the four streams of a delta of these `lengths`, from an old file of
// `old_size` bytes, for their structure alone (its differences and literals
// only to see that they are all there), and leaves the package after them.
Failure ReadDeltaStreams(platform::File& package, const RecordReader& reader,
                         const uint32_t (&lengths)[4], bool lzma, uint64_t old_size,
                         uint64_t new_size, SharedStream* block = nullptr,
                         bool literals_after_old = false) {
  int64_t start = package.Tell();
  // Literals coded after the old file are only counted: it is not at hand.
  SplitStreams streams(package, start, lengths, lzma, block, literals_after_old);
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
  DeltaOps ops(old_size, new_size, drain);
  InflateResult run = RunSplitDelta(streams, ops);
  int64_t size = block ? 0 : int64_t{lengths[0]} + lengths[1] + lengths[2] + lengths[3];
  platform::Status after = package.Seek(start + size, SEEK_SET);
  if (run.end == InflateEnd::kReadFailed || !after) {
    return reader.Fault(Cause::kPackageReadFailed,
                        after ? platform::Status::Error(run.os_error) : after);
  }
  if (run.end == InflateEnd::kDamaged) return reader.Fault(Cause::kBadStream);
  return run.end == InflateEnd::kDone && ops.Complete() ? Failure()
                                                        : reader.Fault(Cause::kBadDelta);
}

// Reads every patch of an "alts" record for its structure, each against the
// size of an old version it serves, then its whole file, which must make
// the new file and end where the record says.
Failure ReadChoiceStreams(platform::File& package, RecordReader& reader, const Record& record) {
  int64_t start = package.Tell();
  for (int patch = 0; patch < record.patch_count; ++patch) {
    uint64_t old_size = 0;
    for (int i = 0; i < record.version_count; ++i) {
      if (record.versions[i].patch == patch) old_size = record.versions[i].size;
    }
    Failure failure =
        ReadDeltaStreams(package, reader, record.patch_lengths[patch], record.lzma_streams,
                         old_size, record.delta.new_size, reader.block());
    if (failure.failed()) return failure;
  }
  if (record.whole_length == 0) return {};
  int64_t size = 0;  // the reader checks it, and the SHA-256
  Failure failure = ReadWholeStream(reader, size);
  if (failure.failed()) return failure;
  if (package.Tell() != start + record.streams_size()) return reader.Fault(Cause::kBadStream);
  return {};
}

// Reads the stream of the record just read, checking a delta's operations
// for structure alone (the old file is not at hand).
Failure ReadStream(platform::File& package, RecordReader& reader, IndexedEntry& entry,
                   IndexReading reading) {
  const Record& record = entry.record;
  if (record.kind == RecordKind::kRemove) {  // no stream: the (first) file it removes
    entry.size = static_cast<int64_t>(record.versions[0].size);
    std::memcpy(entry.sha256, record.versions[0].hash, sizeof entry.sha256);
    return {};
  }
  if (record.is_delta() || record.kind == RecordKind::kChoice) {
    entry.size = static_cast<int64_t>(record.delta.new_size);
    std::memcpy(entry.sha256, record.delta.new_hash, sizeof entry.sha256);
    entry.packed_size = record.streams_size();
    SharedStream* block = reader.block();
    // A file of a block of deltas: what its parts took of the block's streams.
    auto consumed = [block] {
      int64_t bytes = 0;
      for (int s = 0; block && s < 4; ++s) {
        bytes += block[s].lzma ? block[s].lzma->consumed() : block[s].next;
      }
      return bytes;
    };
    int64_t before = consumed();
    Failure failure =
        record.delta.moved ? Failure()  // no streams: the old file's bytes
        : record.kind == RecordKind::kChoice
            ? ReadChoiceStreams(package, reader, record)
            : ReadDeltaStreams(package, reader, record.stream_lengths, record.lzma_streams,
                               record.delta.old_size, record.delta.new_size, block,
                               record.literals_after_old);
    if (block) entry.packed_size = consumed() - before;
    return failure;
  }
  if (reading == IndexReading::kAsStated && record.in_block) {
    entry.size = static_cast<int64_t>(record.delta.new_size);
    entry.packed_size = reader.PassContent();
    return {};
  }
  const bool hashes = reading == IndexReading::kHashed;
  platform::Sha256 hash;
  Failure failure = ReadWholeStream(reader, entry.size, hashes ? &hash : nullptr);
  entry.packed_size = reader.content_packed();
  if (failure.failed()) return failure;
  if (hashes && !hash.Finish(entry.sha256)) return reader.Fault(Cause::kBadStream);
  return {};
}

}  // namespace

Failure ReadWholeStream(RecordReader& reader, int64_t& size, platform::Sha256* hash) {
  SinkTo read([&](const uint8_t* data, size_t got) {
    size += static_cast<int64_t>(got);
    if (hash) hash->Update(data, got);
    return true;
  });
  InflateResult inflated = reader.Content(read);
  if (inflated.end == InflateEnd::kReadFailed) {
    return reader.Fault(Cause::kPackageReadFailed, platform::Status::Error(inflated.os_error));
  }
  return inflated.end == InflateEnd::kDone ? Failure() : reader.Fault(Cause::kBadStream);
}

Failure ReadPackageIndex(const WString& path, const std::function<void(const IndexedEntry&)>& visit,
                         IndexReading reading, std::optional<WString>* label,
                         std::vector<WString>* releases) {
  platform::File package;
  int64_t payload_end = 0;
  Failure failure = OpenPackage(path, package, payload_end);
  if (failure.failed()) return failure;
  RecordReader reader(package, payload_end, u".\\");
  if (reading == IndexReading::kAsStated) reader.LeaveBlocksUndecoded();
  for (IndexedEntry entry; reader.Next(entry.record); entry = IndexedEntry()) {
    failure = ReadStream(package, reader, entry, reading);
    if (failure.failed()) break;
    visit(entry);
  }
  if (label) *label = reader.label();  // read with the first record, whatever follows
  if (releases) *releases = reader.releases();
  return failure.failed() ? failure : reader.failure();
}

}  // namespace updater::package
