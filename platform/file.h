// A move-only owner of a C runtime binary stream. The updater's package and
// content streams are all of this kind; the owner closes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/status.h"

namespace updater {

// FILETIME: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using FileTime = uint64_t;

// The three times of one file, always in this order.
struct EntryTimes {
  FileTime creation = 0;
  FileTime last_access = 0;
  FileTime last_write = 0;
  bool operator==(const EntryTimes& o) const {
    return creation == o.creation && last_access == o.last_access && last_write == o.last_write;
  }
};

namespace platform {

class File {
 public:
  File() = default;
  explicit File(std::FILE* stream) : stream_(stream) {}
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { (void)Close(); }

  // True while a stream is open.
  explicit operator bool() const { return stream_ != nullptr; }

  // The C stream, for the platform layer alone.
  std::FILE* stream() const { return stream_; }

  // Reads up to `size` bytes; fewer only at the end of the file or on a read
  // error, which status() then holds.
  size_t Read(void* buffer, size_t size);

  // Reads up to `size` bytes at `offset` without moving the position; fewer
  // only at the end of the file or on a read error, which goes to `failed`
  // (where given), never into the File: threads may read one File this way
  // at once.
  size_t ReadAt(int64_t offset, void* buffer, size_t size, Status* failed = nullptr) const;

  // The first read or write that failed on the stream (not the mere end of the file).
  Status status() const { return failed_ ? Status::Error(error_) : Status(); }

  // Writes all `size` bytes.
  Status Write(const void* buffer, size_t size);

  // Moves the position like fseek (SEEK_SET, SEEK_CUR, SEEK_END).
  Status Seek(int64_t offset, int origin);

  // The current position, or -1 when it cannot be told.
  int64_t Tell();

  // Pushes buffered writes to the OS; fails when that fails or an earlier write failed.
  Status Flush();

  // Closes the stream; fails when buffered data could not be written or an
  // earlier write failed. Closing a closed File succeeds.
  Status Close();

  // Writes what is buffered and sets the file's three times (FILETIMEs; the
  // creation time only where the OS allows it).
  Status SetTimes(uint64_t creation, uint64_t last_access, uint64_t last_write);

  // Pushes buffered writes through the OS cache to the disk.
  Status Sync();

  // Sets the file's permission bits (POSIX; nothing on Windows).
  Status SetMode(uint32_t mode);

  // The file's permission bits (POSIX; 0 on Windows).
  Result<uint32_t> Mode() const;

  // The file's identity (device and inode; volume serial and file index),
  // as FileId has it.
  Status Identity(uint64_t& volume, uint64_t& index) const;

  // The file's three times, read through it.
  Result<EntryTimes> Times() const;

  // Has Close put `last_access` back as the file's last-access time, for
  // systems that move it on reads although told not to.
  void KeepLastAccess(uint64_t last_access) {
    keep_access_ = true;
    last_access_ = last_access;
  }

 private:
  Status Failed(int os_error);

  std::FILE* stream_ = nullptr;
  bool failed_ = false;  // an operation on the stream failed
  int error_ = 0;        // the OS's error of the first that failed
  bool keep_access_ = false;
  uint64_t last_access_ = 0;
};

// Provided by each platform's implementation.
// The OS's error of the last failed C runtime or system call on this thread.
int LastOsError();
// Writes what the OS holds of `stream` to the disk.
Status SyncStreamToDisk(std::FILE* stream);
// Sets the last-access time of the open `stream`'s file, leaving the others.
Status SetStreamLastAccess(std::FILE* stream, uint64_t last_access);
// Reads at `offset` of the open `stream`'s file, past its buffer; the count
// read, and the OS's error in `os_error` when a read failed.
size_t ReadStreamAt(std::FILE* stream, int64_t offset, void* buffer, size_t size, int* os_error);
// Sets the permission bits of the open `stream`'s file, and reads them.
Status SetStreamMode(std::FILE* stream, uint32_t mode);
Result<uint32_t> StreamMode(std::FILE* stream);
Status StreamIdentity(std::FILE* stream, uint64_t& volume, uint64_t& index);
Result<EntryTimes> StreamTimes(std::FILE* stream);
// Sets the three times of the open `stream`'s file.
Status SetStreamTimes(std::FILE* stream, uint64_t creation, uint64_t last_access,
                      uint64_t last_write);

}  // namespace platform
}  // namespace updater
