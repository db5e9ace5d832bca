#include "platform/file.h"

namespace platform {
namespace {

int64_t g_write_budget = -1;
int g_fault_countdown = 0;
FaultAction g_fault_action = FaultAction::kFail;
void (*g_fault_hook)() = nullptr;

// Takes `size` bytes from the test budget; false when the budget runs out.
bool SpendWriteBudget(size_t size) {
  if (g_write_budget < 0) return true;
  if (static_cast<int64_t>(size) > g_write_budget) {
    g_write_budget = 0;
    return false;
  }
  g_write_budget -= static_cast<int64_t>(size);
  return true;
}

}  // namespace

void SetWriteBudgetForTesting(int64_t bytes) { g_write_budget = bytes; }

void SetFaultForTesting(int n, FaultAction action, void (*hook)()) {
  g_fault_countdown = n;
  g_fault_action = action;
  g_fault_hook = hook;
}

bool InjectedFault() {
  if (g_fault_countdown <= 0 || --g_fault_countdown > 0) return false;
  if (g_fault_action == FaultAction::kKill) KillProcessForTesting();
  if (g_fault_action == FaultAction::kCall) {
    g_fault_hook();
    return false;
  }
  return true;
}

File::File(File&& other) noexcept
    : stream_(other.stream_),
      write_failed_(other.write_failed_),
      keep_access_(other.keep_access_),
      last_access_(other.last_access_) {
  other.stream_ = nullptr;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    stream_ = other.stream_;
    write_failed_ = other.write_failed_;
    keep_access_ = other.keep_access_;
    last_access_ = other.last_access_;
    other.stream_ = nullptr;
  }
  return *this;
}

size_t File::Read(void* buffer, size_t size) {
  return stream_ ? std::fread(buffer, 1, size, stream_) : 0;
}

bool File::Write(const void* buffer, size_t size) {
  if (!stream_ || write_failed_) return false;
  if (size == 0) return true;
  if (InjectedFault() || !SpendWriteBudget(size) || std::fwrite(buffer, 1, size, stream_) != size) {
    write_failed_ = true;
  }
  return !write_failed_;
}

size_t File::ReadAt(int64_t offset, void* buffer, size_t size) {
  return stream_ ? ReadStreamAt(stream_, offset, buffer, size) : 0;
}

bool File::Seek(int64_t offset, int origin) {
  if (!stream_) return false;
#ifdef _WIN32
  return _fseeki64(stream_, offset, origin) == 0;
#else
  return fseeko(stream_, static_cast<off_t>(offset), origin) == 0;
#endif
}

int64_t File::Tell() {
  if (!stream_) return -1;
#ifdef _WIN32
  return _ftelli64(stream_);
#else
  return static_cast<int64_t>(ftello(stream_));
#endif
}

bool File::Flush() {
  if (!stream_ || write_failed_) return false;
  if (InjectedFault() || std::fflush(stream_) != 0) write_failed_ = true;
  return !write_failed_;
}

bool File::Sync() {
  if (!Flush()) return false;
  if (!SyncStreamToDisk(stream_)) write_failed_ = true;
  return !write_failed_;
}

bool File::SetTimes(uint64_t creation, uint64_t last_access, uint64_t last_write) {
  return Flush() && SetStreamTimes(stream_, creation, last_access, last_write);
}

bool File::Close() {
  if (!stream_) return false;
  bool ok = !write_failed_ && !std::ferror(stream_);
  // Best effort: a file whose times cannot be set keeps what the reads made.
  if (keep_access_) SetStreamLastAccess(stream_, last_access_);
  keep_access_ = false;
  if (std::fclose(stream_) != 0) ok = false;
  stream_ = nullptr;
  write_failed_ = false;
  return ok;
}

}  // namespace platform
