#include "apply/entry_reader.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "package/content_stream.h"
#include "package/delta.h"
#include "package/format.h"
#include "package/package_index.h"

namespace {

// Checks that the entry `name` can be written below the root: every folder
// on its way that exists is a plain folder (no link or junction), the file
// itself is missing or a plain file that can be opened for writing now.
// Folders still missing are added to the staging plan.
bool CheckTarget(Staging& staging, const WString& name, StagedEntry& entry) {
  bool missing = false;  // below a missing folder everything is missing
  for (const WString& folder : FoldersOf(name)) {
    if (!missing && !HeldFolder(staging, folder)) {
      const platform::Folder* parent = HeldFolder(staging, ParentOf(folder));
      missing = parent &&
                platform::KindIn(*parent, LastComponent(folder)) == platform::NodeKind::kMissing;
      if (!missing) return false;  // a link, a file, or what cannot be told
    }
    if (missing && std::find(staging.new_folders.begin(), staging.new_folders.end(), folder) ==
                       staging.new_folders.end()) {
      staging.new_folders.push_back(folder);
    }
  }
  if (missing) return true;
  const platform::Folder* parent = HeldFolder(staging, ParentOf(name));
  switch (platform::KindIn(*parent, LastComponent(name))) {
    case platform::NodeKind::kMissing:
      return true;
    case platform::NodeKind::kFile:
      entry.existed = true;
      return platform::CanWriteFileIn(*parent, LastComponent(name));
    default:
      return false;
  }
}

// Creates the staged file, has `fill` write its bytes, and gives it its
// times; on disk before it returns where each file is synced.
bool StageFile(const Staging& staging, const WString& staged, const EntryTimes& times,
               const std::function<bool(platform::File&)>& fill) {
  platform::File file = platform::CreateFileIn(staging.staging_folder, staged);
  if (!file) return false;
  bool ok = fill(file) && file.SetTimes(times.creation, times.last_access, times.last_write);
  if (ok && !platform::kHasFileSystemSync) ok = file.Sync();
  return file.Close() && ok;
}

bool SameDigest(platform::Sha256& hash, const uint8_t (&expected)[32]) {
  uint8_t digest[32];
  return hash.Finish(digest) && std::memcmp(digest, expected, 32) == 0;
}

// Reads the old file whole: true when it has the recorded size and SHA-256.
bool IsExpectedOldFile(platform::File& old, const DeltaHeader& delta) {
  std::vector<uint8_t> buffer(kInflateBufferSize);
  platform::Sha256 hash;
  uint64_t size = 0;
  for (size_t got; (got = old.Read(buffer.data(), buffer.size())) > 0; size += got) {
    hash.Update(buffer.data(), got);
  }
  return !old.HasError() && size == delta.old_size && SameDigest(hash, delta.old_hash);
}

// Writes the new file into `out` from the old file and the operation stream
// at the package's position, through fixed buffers; true when the stream is
// sound and the result has the recorded SHA-256.
bool Patch(platform::File& package, platform::File& old, const DeltaHeader& delta,
           platform::File& out) {
  platform::Sha256 hash;
  std::vector<uint8_t> buffer(kInflateBufferSize);
  auto put = [&hash, &out](const uint8_t* data, size_t size) {
    hash.Update(data, size);
    return out.Write(data, size);
  };
  auto copy = [&](uint64_t offset, uint64_t length) {
    if (!old.Seek(static_cast<int64_t>(offset), SEEK_SET)) return false;
    for (size_t piece; length > 0; length -= piece) {
      piece = length < buffer.size() ? static_cast<size_t>(length) : buffer.size();
      if (old.Read(buffer.data(), piece) != piece || !put(buffer.data(), piece)) return false;
    }
    return true;
  };
  DeltaOps ops(delta.old_size, delta.new_size, copy, put);
  return InflateStream(package,
                       [&ops](const uint8_t* data, size_t size) { return ops.Feed(data, size); }) &&
         ops.Complete() && SameDigest(hash, delta.new_hash);
}

// The installed file a delta record patches, opened through the held
// folders; a closed File, and the cause in `state`, when it is not the very
// version the record was made from.
platform::File OpenOldFile(StageState& state, const StagedEntry& entry, const DeltaHeader& delta) {
  const platform::Folder* parent =
      entry.existed ? HeldFolder(state.staging, ParentOf(entry.name)) : nullptr;
  platform::File old =
      parent ? platform::ReadFileIn(*parent, LastComponent(entry.name)) : platform::File();
  if (old && IsExpectedOldFile(old, delta) && old.Seek(0, SEEK_SET)) return old;
  state.fault = u"not the version the patch was made from:";
  return platform::File();
}

ReadResult StageEntry(platform::File& package, StageState& state, bool is_delta) {
  RecordHeader header;
  if (ReadRecordHeader(package, state.staging.root, state.paths, header) != PackageFault::kNone) {
    return ReadResult::kFail;
  }
  std::optional<DeltaHeader> delta = is_delta ? ReadDeltaHeader(package) : std::nullopt;
  if (is_delta && !delta) return ReadResult::kFail;
  AddStagedEntry(state.staging, header.name, header.target);
  StagedEntry& entry = state.staging.entries.back();
  if (!CheckTarget(state.staging, header.name, entry)) return ReadResult::kFail;
  platform::File old = delta ? OpenOldFile(state, entry, *delta) : platform::File();
  if (delta && !old) return ReadResult::kFail;
  bool staged = StageFile(state.staging, entry.staged, header.times, [&](platform::File& out) {
    if (delta) return Patch(package, old, *delta, out);
    return InflateStream(
        package, [&out](const uint8_t* data, size_t size) { return out.Write(data, size); });
  });
  return staged ? ReadResult::kContinue : ReadResult::kFail;
}

}  // namespace

ReadResult ReadEntry(platform::File& package, StageState& state) {
  switch (ReadNextTag(package, state.payload_end)) {
    case RecordTag::kFile:
      return StageEntry(package, state, false);
    case RecordTag::kDelta:
      return StageEntry(package, state, true);
    case RecordTag::kEnd:
      return ReadResult::kEnd;
    case RecordTag::kInvalid:
      break;
  }
  return ReadResult::kFail;
}
