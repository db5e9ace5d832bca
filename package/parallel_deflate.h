// Compresses the records of a package on several threads and writes them in
// the order they were added. A file of at most one block is one zlib stream
// compressed in one go at the default level, as zlib's compress() writes it;
// a larger file is cut into blocks that are compressed independently (each
// primed with the 32 KiB before it) and joined into one zlib stream. The
// bytes written depend only on the files, never on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "package/content_stream.h"
#include "package/failure.h"
#include "package/format.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace updater::package {

// Size of the blocks a large file is cut into.
inline constexpr size_t kDeflateBlockSize = 1 << 20;

enum class DeflateResult { kOk, kSourceError, kPackageError };

// A record made on a worker rather than deflated there (a delta, or the
// whole file where that is smaller).
class RecordJob {
 public:
  virtual ~RecordJob() = default;
  // The record's bytes, from tag to the end of its streams, into `record`;
  // false when it cannot be made, with `failure` saying why (a file that
  // cannot be read, with the system's error).
  virtual bool Make(std::vector<uint8_t>& record) = 0;
  // The entry name and times its record ends with, which the next record's
  // fields are framed after.
  virtual void LastEntry(WString& name, EntryTimes& times) const = 0;
  // The memory making the record takes, where that is far more than the
  // file's bytes (a coder's window and match finder): the jobs queued at
  // once are held to kMadeMemoryBudget of it. 0 for a job that holds about
  // what it reads.
  virtual size_t memory() const { return 0; }
  Failure failure;
  // Where the record's fields are framed from: set as the job is queued.
  Framing framing;
};

// The memory the jobs queued at once may declare in all (one job alone may
// take more): a 32-bit tool has 2 GiB of address space to find it in.
inline constexpr size_t kMadeMemoryBudget = size_t{1} << (sizeof(void*) == 4 ? 30 : 31);

struct DeflateJob;

// A first-in, first-out queue on a vector (less code than std::deque, which
// updater.exe has no room for).
template <typename T>
class Fifo {
 public:
  bool empty() const { return head_ == items_.size(); }
  size_t size() const { return items_.size() - head_; }
  T& front() { return items_[head_]; }
  void push_back(T item) { items_.push_back(std::move(item)); }
  void pop_front() {
    if (++head_ * 2 < items_.size()) return;
    items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }

 private:
  std::vector<T> items_;
  size_t head_ = 0;
};

class ParallelDeflater {
 public:
  // Writes to `out`, compressing on `threads` threads (at most a few blocks
  // per thread in memory at once); 1 compresses on the calling thread.
  ParallelDeflater(PackageOut& out, int threads);
  // Stops and joins every worker; what is still queued is dropped.
  ~ParallelDeflater();
  ParallelDeflater(const ParallelDeflater&) = delete;
  ParallelDeflater& operator=(const ParallelDeflater&) = delete;

  // Queues the record of a file: its header, then all of `source`, read here
  // block by block. kSourceError when the source fails (its status() says
  // why), kPackageError when the package could not take what was written.
  DeflateResult AddRecord(const WString& name, const EntryTimes& times, platform::File& source);

  // Queues a record `job` makes on a worker, written in its turn;
  // `source_bytes` is the size of the file it stands for.
  bool AddMade(std::unique_ptr<RecordJob> job, int64_t source_bytes);

  // Writes everything still queued; false when the package could not take
  // it or a job could not make its record.
  bool Finish();

  // Why a job could not make its record, once a call has failed for it;
  // null when the package was at fault.
  const Failure* made_failure() const { return failed_job_ ? &failed_job_->failure : nullptr; }

 private:
  bool Submit(std::unique_ptr<DeflateJob> job);
  bool WriteOldest();
  bool WriteJob(const DeflateJob& job);
  static void WorkerMain(void* self);
  void Work();

  PackageOut& out_;
  size_t window_;  // blocks' worth of work queued and not yet written, at most
  size_t queued_bytes_ = 0;
  size_t queued_memory_ = 0;  // declared by the made jobs not yet written
  std::vector<uint8_t> read_buffer_;
  platform::Monitor monitor_;
  Fifo<std::unique_ptr<DeflateJob>> order_;  // every job not yet written, in order
  Fifo<DeflateJob*> todo_;                   // jobs no worker has taken yet
  std::vector<platform::Thread> workers_;
  bool stopping_ = false;
  bool failed_ = false;
  std::unique_ptr<RecordJob> failed_job_;  // the job that could not make its record
  uint32_t adler_ = 1;                     // of the file whose blocks are being written
};

}  // namespace updater::package
