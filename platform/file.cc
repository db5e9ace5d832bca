#include "platform/file.h"

#include <utility>

#include "platform/fault_seam.h"

namespace updater::platform {

File::File(File&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      failed_(other.failed_),
      error_(other.error_),
      keep_access_(other.keep_access_),
      last_access_(other.last_access_) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)Close();
    stream_ = std::exchange(other.stream_, nullptr);
    failed_ = other.failed_;
    error_ = other.error_;
    keep_access_ = other.keep_access_;
    last_access_ = other.last_access_;
  }
  return *this;
}

Status File::Failed(int os_error) {
  if (!failed_) error_ = os_error;
  failed_ = true;
  return Status::Error(os_error);
}

size_t File::Read(void* buffer, size_t size) {
  if (!stream_) return 0;
  if (int fault = InjectedReadFault(stream_, size)) {
    (void)Failed(fault);
    return 0;
  }
  size_t got = std::fread(buffer, 1, size, stream_);
  if (got < size && std::ferror(stream_)) (void)Failed(LastOsError());
  return got;
}

size_t File::ReadAt(int64_t offset, void* buffer, size_t size, Status* failed) const {
  if (!stream_) return 0;
  int os_error = 0;
  size_t got = ReadStreamAt(stream_, offset, buffer, size, &os_error);
  if (os_error != 0 && failed) *failed = Status::Error(os_error);
  return got;
}

Status File::Write(const void* buffer, size_t size) {
  if (!stream_ || failed_) return Status::Error(error_);
  if (size == 0) return Status();
  if (int fault = InjectedFault()) return Failed(fault);
  if (int fault = SpendWriteBudget(size)) return Failed(fault);
  if (std::fwrite(buffer, 1, size, stream_) != size) return Failed(LastOsError());
  return Status();
}

Status File::Seek(int64_t offset, int origin) {
  if (!stream_) return Status::Refused();  // not open: no call was made
#ifdef _WIN32
  bool moved = _fseeki64(stream_, offset, origin) == 0;
#else
  bool moved = fseeko(stream_, static_cast<off_t>(offset), origin) == 0;
#endif
  return moved ? Status() : Status::Error(LastOsError());
}

int64_t File::Tell() {
  if (!stream_) return -1;
#ifdef _WIN32
  return _ftelli64(stream_);
#else
  return static_cast<int64_t>(ftello(stream_));
#endif
}

Status File::Flush() {
  if (!stream_ || failed_) return Status::Error(error_);
  if (int fault = InjectedFault()) return Failed(fault);
  if (std::fflush(stream_) != 0) return Failed(LastOsError());
  return Status();
}

Status File::Sync() {
  Status flushed = Flush();
  if (!flushed) return flushed;
  Status synced = SyncStreamToDisk(stream_);
  return synced ? synced : Failed(synced.error());
}

Status File::SetMode(uint32_t mode) {
  if (!stream_) return Status::Refused();  // not open: no call was made
  return SetStreamMode(stream_, mode);
}

Result<EntryTimes> File::Times() const {
  if (!stream_) return Status::Refused();  // not open: no call was made
  return StreamTimes(stream_);
}

Status File::Identity(uint64_t& volume, uint64_t& index) const {
  if (!stream_) return Status::Refused();  // not open: no call was made
  return StreamIdentity(stream_, volume, index);
}

Result<uint32_t> File::Mode() const {
  if (!stream_) return Status::Refused();  // not open: no call was made
  return StreamMode(stream_);
}

Status File::SetTimes(uint64_t creation, uint64_t last_access, uint64_t last_write) {
  Status flushed = Flush();
  return flushed ? SetStreamTimes(stream_, creation, last_access, last_write) : flushed;
}

Status File::Close() {
  if (!stream_) return Status();
  // Best effort: a file whose times cannot be set keeps what the reads made.
  if (keep_access_) (void)SetStreamLastAccess(stream_, last_access_);
  keep_access_ = false;
  if (std::fclose(stream_) != 0) (void)Failed(LastOsError());
  stream_ = nullptr;
  Status closed = status();
  failed_ = false;
  error_ = 0;
  return closed;
}

}  // namespace updater::platform
