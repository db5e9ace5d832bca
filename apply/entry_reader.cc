#include "apply/entry_reader.h"

#include <algorithm>
#include <cstring>
#include <deque>
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

// Reads the old file whole, by position: true when it has the recorded size
// and SHA-256.
bool IsExpectedOldFile(platform::File& old, const DeltaHeader& delta) {
  std::vector<uint8_t> buffer(kInflateBufferSize);
  platform::Sha256 hash;
  uint64_t size = 0;
  for (size_t got; (got = old.ReadAt(static_cast<int64_t>(size), buffer.data(), buffer.size())) > 0;
       size += got) {
    hash.Update(buffer.data(), got);
  }
  return size == delta.old_size && SameDigest(hash, delta.old_hash);
}

// The check of an old file, run on a thread of its own while the new file is built.
struct OldFileCheck {
  platform::File* old;
  const DeltaHeader* delta;
  bool expected = false;
  static void Run(void* check) {
    OldFileCheck& c = *static_cast<OldFileCheck*>(check);
    c.expected = IsExpectedOldFile(*c.old, *c.delta);
  }
};

// SHA-256 computed on a thread of its own over a few buffers handed to it in
// order, so that hashing the new file overlaps building it, without copies.
class BackgroundHash {
 public:
  BackgroundHash() : buffers_(kDepth, std::vector<uint8_t>(kInflateBufferSize)) {
    for (size_t i = 0; i < kDepth; ++i) free_.push_back(i);
    thread_ = platform::StartThread(Run, this);
  }
  ~BackgroundHash() { Stop(); }
  BackgroundHash(const BackgroundHash&) = delete;
  BackgroundHash& operator=(const BackgroundHash&) = delete;

  // A buffer of kInflateBufferSize bytes to fill; waits until one is free.
  uint8_t* Buffer() {
    if (!thread_) return buffers_[0].data();  // no thread: hashed at once
    monitor_.Lock();
    while (free_.empty()) monitor_.Wait();
    size_t index = free_.back();
    free_.pop_back();
    monitor_.Unlock();
    return buffers_[index].data();
  }

  // Hashes the first `size` bytes of a buffer from Buffer() (in the order
  // given); the buffer may still be read meanwhile, but not written.
  void Hash(const uint8_t* buffer, size_t size) {
    if (!thread_) return hash_.Update(buffer, size);
    monitor_.Lock();
    for (size_t i = 0; i < kDepth; ++i) {
      if (buffers_[i].data() == buffer) queue_.push_back({i, size});
    }
    monitor_.NotifyAll();
    monitor_.Unlock();
  }

  bool Finish(uint8_t (&digest)[32]) {
    Stop();
    return hash_.Finish(digest);
  }

 private:
  static constexpr size_t kDepth = 4;

  void Stop() {
    if (!thread_) return;
    monitor_.Lock();
    done_ = true;
    monitor_.NotifyAll();
    monitor_.Unlock();
    platform::JoinThread(thread_);
    thread_ = nullptr;
  }

  static void Run(void* self) { static_cast<BackgroundHash*>(self)->Work(); }

  void Work() {
    monitor_.Lock();
    for (;;) {
      while (queue_.empty() && !done_) monitor_.Wait();
      if (queue_.empty()) break;
      std::pair<size_t, size_t> piece = queue_.front();
      queue_.pop_front();
      monitor_.Unlock();
      hash_.Update(buffers_[piece.first].data(), piece.second);
      monitor_.Lock();
      free_.push_back(piece.first);
      monitor_.NotifyAll();
    }
    monitor_.Unlock();
  }

  std::vector<std::vector<uint8_t>> buffers_;
  platform::Sha256 hash_;
  platform::Monitor monitor_;
  std::deque<std::pair<size_t, size_t>> queue_;  // buffer and size, to hash in order
  std::vector<size_t> free_;                     // buffers that may be filled
  bool done_ = false;
  platform::Thread* thread_ = nullptr;
};

// Writes the new file into `out` from the old file and the operation stream
// at the package's position, through fixed buffers; true when the stream is
// sound and the result has the recorded SHA-256.
bool Patch(platform::File& package, platform::File& old, const DeltaHeader& delta,
           platform::File& out) {
  BackgroundHash hash;
  // Writes `length` bytes a buffer at a time, each filled by
  // `fill(piece, done, size)` and hashed on the other thread while it is
  // written here.
  auto emit = [&hash, &out](uint64_t length, const auto& fill) {
    for (uint64_t done = 0; done < length;) {
      size_t size = static_cast<size_t>(std::min<uint64_t>(length - done, kInflateBufferSize));
      uint8_t* piece = hash.Buffer();
      if (!fill(piece, done, size)) return false;
      hash.Hash(piece, size);
      if (!out.Write(piece, size)) return false;
      done += size;
    }
    return true;
  };
  auto copy = [&](uint64_t offset, uint64_t length) {
    return emit(length, [&old, offset](uint8_t* piece, uint64_t done, size_t size) {
      return old.ReadAt(static_cast<int64_t>(offset + done), piece, size) == size;
    });
  };
  auto add = [&](const uint8_t* data, size_t size) {
    return emit(size, [data](uint8_t* piece, uint64_t done, size_t length) {
      std::memcpy(piece, data + done, length);
      return true;
    });
  };
  DeltaOps ops(delta.old_size, delta.new_size, copy, add);
  uint8_t digest[32];
  return InflateStream(package,
                       [&ops](const uint8_t* data, size_t size) { return ops.Feed(data, size); }) &&
         ops.Complete() && hash.Finish(digest) && std::memcmp(digest, delta.new_hash, 32) == 0;
}

// The installed file a delta record patches, opened through the held
// folders; a closed File when there is none.
platform::File OpenOldFile(Staging& staging, const StagedEntry& entry) {
  const platform::Folder* parent =
      entry.existed ? HeldFolder(staging, ParentOf(entry.name)) : nullptr;
  return parent ? platform::ReadFileIn(*parent, LastComponent(entry.name)) : platform::File();
}

// Builds the new file of a delta record while another thread checks that the
// old file is the very version the record was made from; the cause in
// `state` when it is not.
bool StagePatched(platform::File& package, StageState& state, const StagedEntry& entry,
                  const EntryTimes& times, const DeltaHeader& delta) {
  platform::File old = OpenOldFile(state.staging, entry);
  OldFileCheck check{&old, &delta};
  platform::Thread* checker = old ? platform::StartThread(OldFileCheck::Run, &check) : nullptr;
  if (old && !checker) OldFileCheck::Run(&check);
  bool patched = old && StageFile(state.staging, entry.staged, times, [&](platform::File& out) {
                   return Patch(package, old, delta, out);
                 });
  if (checker) platform::JoinThread(checker);
  if (!check.expected) state.fault = u"not the version the patch was made from:";
  return check.expected && patched;
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
  bool staged =
      delta ? StagePatched(package, state, entry, header.times, *delta)
            : StageFile(state.staging, entry.staged, header.times, [&](platform::File& out) {
                return InflateStream(package, [&out](const uint8_t* data, size_t size) {
                  return out.Write(data, size);
                });
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
