#include "apply/entry_reader.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "package/content_stream.h"
#include "package/delta.h"

namespace updater::apply {
namespace {

using package::kInflateBufferSize;

// Checks that the entry `name` can be written below the root: every folder
// on its way that exists is a plain folder (no link or junction), the file
// itself is missing or a plain file that can be opened for writing now.
// Folders still missing are added to the staging plan.
Failure CheckTarget(Staging& staging, const WString& name, StagedEntry& entry) {
  bool missing = false;  // below a missing folder everything is missing
  for (const WString& folder : FoldersOf(name)) {
    if (!missing && !HeldFolder(staging, folder)) {
      const platform::Folder* parent = HeldFolder(staging, ParentOf(folder));
      platform::Result<platform::NodeKind> kind =
          parent ? platform::KindIn(*parent, LastComponent(folder))
                 : platform::Result<platform::NodeKind>(platform::Status::Error(0));
      missing = kind && *kind == platform::NodeKind::kMissing;
      // A link, a file, or what cannot be told.
      if (!missing) return Fail(Cause::kTargetRefused, entry.target, kind.status());
    }
    if (missing && std::find(staging.new_folders.begin(), staging.new_folders.end(), folder) ==
                       staging.new_folders.end()) {
      staging.new_folders.push_back(folder);
    }
  }
  if (missing) return {};
  const platform::Folder* parent = HeldFolder(staging, ParentOf(name));
  WString leaf = LastComponent(name);
  platform::Result<platform::NodeKind> kind = platform::KindIn(*parent, leaf);
  if (kind && *kind == platform::NodeKind::kMissing) return {};
  if (!kind || *kind != platform::NodeKind::kFile) {
    return Fail(Cause::kTargetRefused, entry.target, kind.status());
  }
  entry.existed = true;
  platform::Status writable = platform::CanWriteFileIn(*parent, leaf);
  if (!writable) return Fail(Cause::kTargetBusy, entry.target, writable);
  platform::Result<uint32_t> mode = platform::ModeIn(*parent, leaf);
  if (!mode) return Fail(Cause::kTargetRefused, entry.target, mode.status());
  entry.old_mode = *mode;
  return {};
}

// Creates the staged file of `entry`, has `fill` write its bytes, and gives
// it its times, and the mode of the file it replaces (a game's programs stay
// runnable); on disk before it returns where each file is synced.
Failure StageFile(const Staging& staging, const StagedEntry& entry, const EntryTimes& times,
                  const std::function<Failure(platform::File&)>& fill) {
  platform::Result<platform::File> file =
      platform::CreateFileIn(staging.staging_folder, entry.staged);
  if (!file) return Fail(Cause::kWriteStaged, entry.target, file.status());
  Failure failure = fill(*file);
  if (failure.failed()) return failure;
  platform::Status done = entry.existed ? file->SetMode(entry.old_mode) : platform::Status();
  if (done) done = file->SetTimes(times.creation, times.last_access, times.last_write);
  if (done && !platform::kHasFileSystemSync) done = file->Sync();
  platform::Status closed = file->Close();
  if (done) done = closed;
  if (!done) return Fail(Cause::kWriteStaged, entry.target, done);
  return {};
}

// The failure an inflation ended in, where `written` holds the last write's Status.
Failure InflateFailure(const package::InflateResult& inflated, const package::RecordReader& reader,
                       const WString& target, platform::Status written) {
  switch (inflated.end) {
    case package::InflateEnd::kDone:
      return {};
    case package::InflateEnd::kDamaged:
      return reader.Fault(Cause::kBadStream);
    case package::InflateEnd::kReadFailed:
      return reader.Fault(Cause::kPackageReadFailed, platform::Status::Error(inflated.os_error));
    case package::InflateEnd::kSinkFailed:
      break;
  }
  return Fail(Cause::kWriteStaged, target, written);
}

bool SameDigest(platform::Sha256& hash, const uint8_t (&expected)[32]) {
  uint8_t digest[32];
  return hash.Finish(digest) && std::memcmp(digest, expected, 32) == 0;
}

// The check that the old file is the very one a delta was made from: its
// size and SHA-256, read by position on a thread of its own while the new
// file is built. `refused` is set the moment it is known not to be, so that
// the patch stops within a buffer.
struct OldFileCheck {
  const platform::File* old;
  const package::DeltaHeader* delta;
  std::atomic<bool> refused{false};
  bool expected = false;
  platform::Status read;  // a read of the old file that failed

  static void Run(void* check) { static_cast<OldFileCheck*>(check)->Check(); }

  void Check() {
    std::vector<uint8_t> buffer(kInflateBufferSize);
    platform::Sha256 hash;
    uint64_t size = 0;
    for (size_t got;
         size <= delta->old_size &&
         (got = old->ReadAt(static_cast<int64_t>(size), buffer.data(), buffer.size(), &read)) > 0;
         size += got) {
      hash.Update(buffer.data(), got);
    }
    expected = read && size == delta->old_size && SameDigest(hash, delta->old_hash);
    refused = !expected;
  }
};

// SHA-256 computed on a thread of its own over a few buffers handed to it in
// order, so that hashing the new file overlaps building it, without copies.
class BackgroundHash {
 public:
  BackgroundHash() : buffers_(kDepth, std::vector<uint8_t>(kInflateBufferSize)) {
    for (size_t i = 0; i < kDepth; ++i) free_.push_back(i);
    thread_ = std::move(platform::StartThread(Run, this)).value_or(platform::Thread());
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
    thread_.Join();
    thread_ = platform::Thread();
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
  platform::Thread thread_;
};

// Writes the new file into `out` from the old file and the operation stream
// at the package's position, through fixed buffers: no failure when the
// stream is sound and the result has the recorded SHA-256.
// How far the patch may run ahead of the old file's check, past the old
// file's own size: beyond it, it waits for the verdict.
constexpr uint64_t kPatchLead = 32 << 20;

Failure Patch(platform::File& package, const package::RecordReader& reader,
              const package::Record& record, const platform::File& old, OldFileCheck& check,
              platform::Thread* checker, platform::File& out) {
  const package::DeltaHeader& delta = record.delta;
  BackgroundHash hash;
  platform::Status written, read;
  uint64_t total = 0;
  // Writes `length` bytes a buffer at a time, each filled by
  // `fill(piece, done, size)` and hashed on the other thread while it is
  // written here. It stops once the old file is known to be another
  // version, and never runs more than kPatchLead ahead of knowing: a small
  // hostile record cannot make it write much, however the threads run.
  auto emit = [&](uint64_t length, const auto& fill) {
    for (uint64_t done = 0; done < length;) {
      if (checker && total > delta.old_size + kPatchLead) checker->Join();
      if (check.refused) return false;
      size_t size = static_cast<size_t>(std::min<uint64_t>(length - done, kInflateBufferSize));
      uint8_t* piece = hash.Buffer();
      if (!fill(piece, done, size)) return false;
      hash.Hash(piece, size);
      written = out.Write(piece, size);
      if (!written) return false;
      done += size;
      total += size;
    }
    return true;
  };
  auto copy = [&](uint64_t offset, uint64_t length) {
    return emit(length, [&old, &read, offset](uint8_t* piece, uint64_t done, size_t size) {
      return old.ReadAt(static_cast<int64_t>(offset + done), piece, size, &read) == size;
    });
  };
  auto add = [&](const uint8_t* data, size_t size) {
    return emit(size, [data](uint8_t* piece, uint64_t done, size_t length) {
      std::memcpy(piece, data + done, length);
      return true;
    });
  };
  package::DeltaOps ops(delta.old_size, delta.new_size, copy, add);
  package::InflateResult inflated = package::InflateStream(
      package, [&ops](const uint8_t* data, size_t size) { return ops.Feed(data, size); });
  if (!read) return Fail(Cause::kReadOldFile, record.target, read);
  if (inflated.end == package::InflateEnd::kSinkFailed && written) {
    return reader.Fault(Cause::kBadDelta);  // an operation the old file cannot serve
  }
  Failure failure = InflateFailure(inflated, reader, record.target, written);
  if (failure.failed()) return failure;
  uint8_t digest[32];
  if (!ops.Complete() || !hash.Finish(digest) || std::memcmp(digest, delta.new_hash, 32) != 0) {
    return reader.Fault(Cause::kBadDelta);
  }
  return {};
}

// Builds the new file of a delta record while another thread checks that the
// old file is the very version the record was made from.
Failure StagePatched(platform::File& package, const package::RecordReader& reader,
                     const package::Record& record, Staging& staging, const StagedEntry& entry) {
  platform::Status why = platform::Status::Error(0);
  const platform::Folder* parent =
      entry.existed ? HeldFolder(staging, ParentOf(entry.name), &why) : nullptr;
  platform::Result<platform::File> old =
      parent ? platform::ReadFileIn(*parent, LastComponent(entry.name))
             : platform::Result<platform::File>(why);
  if (!old) return Fail(Cause::kWrongOldFile, entry.target, old.status());
  // A record may declare any size: what cannot fit is refused before a byte is written.
  platform::Result<uint64_t> room = platform::FreeSpace(staging.staging_folder);
  if (room && *room < record.delta.new_size) {
    return Fail(Cause::kNoRoom, entry.target + u" (needs " + Decimal(record.delta.new_size) +
                                    u" bytes, " + Decimal(*room) + u" free)");
  }
  OldFileCheck check{&*old, &record.delta, {false}, false, {}};
  platform::Result<platform::Thread> checker = platform::StartThread(OldFileCheck::Run, &check);
  if (!checker) OldFileCheck::Run(&check);
  Failure patched = StageFile(staging, entry, record.times, [&](platform::File& out) {
    return Patch(package, reader, record, *old, check, checker ? &*checker : nullptr, out);
  });
  if (checker) checker->Join();
  if (!check.read) return Fail(Cause::kReadOldFile, entry.target, check.read);
  if (!check.expected) return Fail(Cause::kWrongOldFile, entry.target);
  return patched;
}

}  // namespace

Failure StageRecord(platform::File& package, const package::RecordReader& reader,
                    const package::Record& record, Staging& staging) {
  AddStagedEntry(staging, record.name, record.target);
  StagedEntry& entry = staging.entries.back();
  Failure failure = CheckTarget(staging, record.name, entry);
  if (failure.failed()) return failure;
  if (record.is_delta) return StagePatched(package, reader, record, staging, entry);
  return StageFile(staging, entry, record.times, [&](platform::File& out) {
    platform::Status written;
    package::InflateResult inflated =
        package::InflateStream(package, [&out, &written](const uint8_t* data, size_t size) {
          written = out.Write(data, size);
          return written.ok();
        });
    return InflateFailure(inflated, reader, record.target, written);
  });
}

}  // namespace updater::apply
