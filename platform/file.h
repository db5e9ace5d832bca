// A move-only owner of a C runtime binary stream. The updater's package and
// content streams are all of this kind; the owner closes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

class File {
 public:
  File() = default;
  explicit File(std::FILE* stream) : stream_(stream) {}
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }

  // True while a stream is open.
  explicit operator bool() const { return stream_ != nullptr; }

  // Reads up to `size` bytes; fewer only at the end of the file or on a read error.
  size_t Read(void* buffer, size_t size);

  // Reads up to `size` bytes at `offset` without moving the position; fewer
  // only at the end of the file or on a read error. Threads may read one
  // File this way at once.
  size_t ReadAt(int64_t offset, void* buffer, size_t size);

  // True when a read or write on the stream has failed (not at the mere end of the file).
  bool HasError() const { return stream_ != nullptr && std::ferror(stream_) != 0; }

  // Writes all `size` bytes; false when any of them could not be written.
  bool Write(const void* buffer, size_t size);

  // Moves the position like fseek (SEEK_SET, SEEK_CUR, SEEK_END); false on failure.
  bool Seek(int64_t offset, int origin);

  // The current position, or -1 when it cannot be told.
  int64_t Tell();

  // Pushes buffered writes to the OS; false when that fails or an earlier write failed.
  bool Flush();

  // Closes the stream; false when it was not open or buffered data could not be written.
  bool Close();

  // Writes what is buffered and sets the file's three times (FILETIMEs; the
  // creation time only where the OS allows it); false when either fails.
  bool SetTimes(uint64_t creation, uint64_t last_access, uint64_t last_write);

  // Pushes buffered writes through the OS cache to the disk; false when that fails.
  bool Sync();

  // Has Close put `last_access` back as the file's last-access time, for
  // systems that move it on reads although told not to.
  void KeepLastAccess(uint64_t last_access) {
    keep_access_ = true;
    last_access_ = last_access;
  }

 private:
  std::FILE* stream_ = nullptr;
  bool write_failed_ = false;
  bool keep_access_ = false;
  uint64_t last_access_ = 0;
};

// Provided by each platform's implementation.
// Writes what the OS holds of `stream` to the disk; false when that fails.
bool SyncStreamToDisk(std::FILE* stream);
// Sets the last-access time of the open `stream`'s file, leaving the others.
bool SetStreamLastAccess(std::FILE* stream, uint64_t last_access);
// Reads at `offset` of the open `stream`'s file, past its buffer; the count read.
size_t ReadStreamAt(std::FILE* stream, int64_t offset, void* buffer, size_t size);
// Sets the three times of the open `stream`'s file.
bool SetStreamTimes(std::FILE* stream, uint64_t creation, uint64_t last_access,
                    uint64_t last_write);
// Ends the process at once, as a crash or a kill would.
[[noreturn]] void KillProcessForTesting();

// Test seam: after `bytes` more bytes have been written through any File,
// every further write fails as on a full disk. A negative value turns it off.
void SetWriteBudgetForTesting(int64_t bytes);

// What happens at the operation a test picks out.
enum class FaultAction {
  kFail,  // the operation fails
  kKill,  // the process ends on the spot
  kCall,  // the test's hook runs (another user acting meanwhile), then the operation
};

// Test seam: the `n`th write, flush, rename, folder creation, removal or
// step of a folder listing from now on meets `action`; the ones before and
// after it work. Zero turns it off.
void SetFaultForTesting(int n, FaultAction action = FaultAction::kFail, void (*hook)() = nullptr);

// Counts one write, flush, rename, folder creation, removal or listing step; true when the
// test seam says this one fails. Called by the platform layer only.
bool InjectedFault();

}  // namespace platform
