// Building the new file of a delta record from the old file it patches,
// with the check that the old file is the very version the record was made
// from running beside it.
#pragma once

#include <atomic>
#include <cstdint>

#include "package/content_stream.h"
#include "package/failure.h"
#include "package/record_reader.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace updater::apply {

// Files from this size on (old and new together) are patched with threads.
inline constexpr uint64_t kThreadedPatch = 4 << 20;

// The check that the old file is the very one a delta was made from: its
// size and SHA-256, read by position on a thread of its own while the new
// file is built. `refused` is set the moment it is known not to be, so that
// the patch stops within a buffer.
struct OldFileCheck {
  // Of `old`, `old_size` bytes whose SHA-256 must be `*old_hash` (or any,
  // where null: the hash is only wanted); `expected` where a check before
  // this run found it so already.
  OldFileCheck(const platform::File& old, uint64_t old_size, const uint8_t (*old_hash)[32],
               bool expected = false)
      : old(&old), old_size(old_size), old_hash(old_hash), expected(expected) {}

  const platform::File* old;
  uint64_t old_size;
  const uint8_t (*old_hash)[32];
  std::atomic<bool> refused{false};
  bool expected = false;
  platform::Status read;  // a read of the old file that failed
  bool hashed = false;    // the whole file was read: `digest` is its SHA-256
  uint8_t digest[32] = {};

  static void Run(void* check) { static_cast<OldFileCheck*>(check)->Check(); }

  // Reads and hashes the old file, then sets `expected` and `refused`.
  void Check();
};

// Writes the new file of the delta `record` into `out` (or, where that is
// null, only hashes it) from `old` and the operation streams at the
// package's position, through fixed buffers, while `check` runs (on
// `checker`, or done already where that is null): no failure when the
// streams are sound and the result has the recorded SHA-256. The package is
// left after the record's streams.
Failure Patch(platform::File& package, const package::RecordReader& reader,
              const package::Record& record, const platform::File& old, OldFileCheck& check,
              platform::Thread* checker, platform::File* out);

// The failure an inflation of the record `reader` read ended in, where
// `written` holds the last write's Status.
Failure InflateFailure(const package::InflateResult& inflated, const package::RecordReader& reader,
                       const WString& target, platform::Status written);

}  // namespace updater::apply
