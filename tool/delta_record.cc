#include "tool/delta_record.h"

#include <zlib.h>

#include "pack/package_builder.h"
#include "package/delta.h"

namespace updater::tool {
namespace {

// The matches zlib weighs at each position of a delta's streams.
constexpr int kMatchChain = 1024;

// The SHA-256 of `size` bytes at `data`, for the file at `path`.
Failure Digest(const uint8_t* data, size_t size, const WString& path, uint8_t (&digest)[32]) {
  platform::Sha256 hash;
  hash.Update(data, size);
  return hash.Finish(digest) ? Failure() : Fail(Cause::kSourceUnreadable, path);
}

// One zlib stream of `data` at the best level, with zlib's search for
// matches held to kMatchChain candidates: the level's 4096 doubles the
// encoding time for a few bytes in a thousand.
bool Deflate(const std::vector<uint8_t>& data, std::vector<uint8_t>& packed) {
  z_stream zs{};
  if (deflateInit(&zs, Z_BEST_COMPRESSION) != Z_OK) return false;
  packed.resize(deflateBound(&zs, static_cast<uLong>(data.size())));
  deflateTune(&zs, 32, 258, 258, kMatchChain);
  zs.next_in = const_cast<uint8_t*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = packed.data();
  zs.avail_out = static_cast<uInt>(packed.size());
  bool done = deflate(&zs, Z_FINISH) == Z_STREAM_END;
  packed.resize(zs.total_out);
  deflateEnd(&zs);
  return done;
}

// The record of `delta`: header, old name, delta header, the four stream
// lengths, then the four streams.
bool WriteDeltaRecord(const WString& name, const WString& old_name, const EntryTimes& times,
                      const package::DeltaHeader& header, const SplitDelta& delta,
                      std::vector<uint8_t>& record) {
  std::vector<uint8_t> streams[4];
  bool ok = Deflate(delta.operations, streams[0]) && Deflate(delta.gaps, streams[1]) &&
            Deflate(delta.values, streams[2]) && Deflate(delta.literals, streams[3]);
  if (!ok) return false;
  package::PackageOut out;
  out.memory = &record;
  package::WriteEntryHeader(out, name, times, package::kDeltaTag);
  package::WriteEntryName(out, old_name == name ? WString() : old_name);  // none: its own
  package::WriteDeltaHeader(out, header);
  for (const std::vector<uint8_t>& stream : streams) {
    uint8_t length[4];
    for (int i = 0; i < 4; ++i) length[i] = static_cast<uint8_t>(stream.size() >> (8 * i));
    package::WriteToPackage(out, length, 4);
  }
  for (const std::vector<uint8_t>& stream : streams) {
    package::WriteToPackage(out, stream.data(), stream.size());
  }
  return true;
}

class DeltaJob : public package::RecordJob {
 public:
  DeltaJob(WString name, WString new_path, WString old_name, WString old_path, EntryTimes times)
      : name_(std::move(name)),
        new_path_(std::move(new_path)),
        old_name_(std::move(old_name)),
        old_path_(std::move(old_path)),
        times_(times) {}

  bool Make(std::vector<uint8_t>& record) override {
    failure = WholeRecord(name_, new_path_, times_, record);
    if (failure.failed()) return false;
    std::vector<uint8_t> delta;
    Failure no_delta = DeltaRecord(name_, new_path_, old_name_, old_path_, times_, delta);
    if (!no_delta.failed() && !delta.empty() && delta.size() < record.size()) record.swap(delta);
    return true;
  }

 private:
  WString name_, new_path_, old_name_, old_path_;
  EntryTimes times_;
};

}  // namespace

Failure WholeRecord(const WString& name, const WString& path, const EntryTimes& times,
                    std::vector<uint8_t>& record) {
  record.clear();
  package::PackageOut out;
  out.memory = &record;
  platform::Result<platform::File> source = pack::OpenTreeFile(path);
  if (!source) return Fail(Cause::kSourceUnreadable, path, source.status());
  package::ParallelDeflater deflater(out, 1);
  package::DeflateResult added = deflater.AddRecord(name, times, *source);
  if (added == package::DeflateResult::kSourceError) {
    return Fail(Cause::kSourceUnreadable, path, source->status());
  }
  if (added != package::DeflateResult::kOk || !deflater.Finish()) {
    return Fail(Cause::kOutputError, path, platform::Status::Error(out.os_error));
  }
  return {};
}

Failure DeltaRecord(const WString& name, const WString& new_path, const WString& old_name,
                    const WString& old_path, const EntryTimes& times, std::vector<uint8_t>& record,
                    const EncodeLimits& limits) {
  record.clear();
  platform::MappedFile old_file(old_path), new_file(new_path);
  if (!old_file.status()) return Fail(Cause::kSourceUnreadable, old_path, old_file.status());
  if (!new_file.status()) return Fail(Cause::kSourceUnreadable, new_path, new_file.status());
  if (!old_file.data() || !new_file.data()) return {};  // an empty file: no delta
  std::optional<SplitDelta> delta =
      EncodeDelta(old_file.data(), old_file.size(), new_file.data(), new_file.size(), limits);
  if (!delta) return {};
  package::DeltaHeader header;
  header.old_size = old_file.size();
  header.new_size = new_file.size();
  Failure failure = Digest(old_file.data(), old_file.size(), old_path, header.old_hash);
  if (!failure.failed()) {
    failure = Digest(new_file.data(), new_file.size(), new_path, header.new_hash);
  }
  if (failure.failed()) return failure;
  if (!WriteDeltaRecord(name, old_name, times, header, *delta, record)) {
    return Fail(Cause::kOutputError, new_path);  // zlib found no memory
  }
  return {};
}

std::unique_ptr<package::RecordJob> DeltaRecordJob(const WString& name, const WString& new_path,
                                                   const WString& old_name, const WString& old_path,
                                                   const EntryTimes& times) {
  return std::make_unique<DeltaJob>(name, new_path, old_name, old_path, times);
}

}  // namespace updater::tool
