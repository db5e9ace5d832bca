#include "package/parallel_deflate.h"

#include <zlib.h>

#include <algorithm>

namespace updater::package {

namespace {

constexpr size_t kWindowSize = 32 * 1024;

}  // namespace

// One piece of work: a whole small file, or one block of a large one.
struct DeflateJob {
  bool first = false;               // starts a record: its header is written first
  bool whole = false;               // the whole file: a complete zlib stream
  bool last = false;                // ends the file's stream
  std::vector<uint8_t> header;      // first only: the record's tag, name and times
  std::vector<uint8_t> dictionary;  // the 32 KiB before a block
  std::vector<uint8_t> input;
  size_t input_size = 0;
  size_t memory = 0;  // what its maker declared
  std::vector<uint8_t> output;
  uint32_t adler = 1;  // of `input`, for blocks
  // A record made by a RecordJob rather than deflated: MakeRecord, set only
  // where a build makes records (updater.exe carries none of it).
  bool (*make)(DeflateJob& job) = nullptr;
  std::unique_ptr<RecordJob> maker;  // kept where it failed: its failure says why
  bool done = false;
  bool ok = false;
};

namespace {

// Runs deflate on all of the job's input with `flush` until it is done,
// growing the output as needed.
bool RunDeflate(z_stream& zs, DeflateJob& job, int flush) {
  job.output.resize(deflateBound(&zs, static_cast<uLong>(job.input.size())) + 64);
  zs.next_in = job.input.data();
  zs.avail_in = static_cast<uInt>(job.input.size());
  for (;;) {
    zs.next_out = job.output.data() + zs.total_out;
    zs.avail_out = static_cast<uInt>(job.output.size() - zs.total_out);
    int ret = deflate(&zs, flush);
    if (ret == Z_STREAM_ERROR) return false;
    bool finished = flush == Z_FINISH ? ret == Z_STREAM_END : zs.avail_in == 0 && zs.avail_out > 0;
    if (finished) break;
    job.output.resize(job.output.size() * 2);
  }
  job.output.resize(zs.total_out);
  job.output.shrink_to_fit();  // jobs wait in the queue: hold only what they made
  return true;
}

// Compresses a job: a whole file as one zlib stream at the default level;
// a block as raw deflate primed with its dictionary, ended on a byte
// boundary (or finished, for the last block). A made record is made.
bool Compress(DeflateJob& job) {
  if (job.make) return job.make(job);
  z_stream zs{};
  int window_bits = job.whole ? 15 : -15;
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    if (zs.msg) platform::DebugOutputA(zs.msg);
    return false;
  }
  bool ok = job.dictionary.empty() ||
            deflateSetDictionary(&zs, job.dictionary.data(),
                                 static_cast<uInt>(job.dictionary.size())) == Z_OK;
  ok = ok && RunDeflate(zs, job, job.whole || job.last ? Z_FINISH : Z_SYNC_FLUSH);
  deflateEnd(&zs);
  if (!job.whole) {
    job.adler =
        static_cast<uint32_t>(adler32(1, job.input.data(), static_cast<uInt>(job.input.size())));
  }
  job.input = std::vector<uint8_t>();
  job.dictionary = std::vector<uint8_t>();
  return ok;
}

}  // namespace

ParallelDeflater::ParallelDeflater(PackageOut& out, int threads)
    : out_(out), window_(static_cast<size_t>(std::max(threads, 1)) + 1) {
  for (int i = 0; threads > 1 && i < threads; ++i) {
    platform::Result<platform::Thread> worker =
        platform::StartThread(&ParallelDeflater::WorkerMain, this);
    if (!worker) break;  // fewer workers; with none, the caller's thread compresses
    workers_.push_back(std::move(*worker));
  }
}

ParallelDeflater::~ParallelDeflater() {
  monitor_.Lock();
  stopping_ = true;
  monitor_.NotifyAll();
  monitor_.Unlock();
  workers_.clear();  // each joins as it goes
}

void ParallelDeflater::WorkerMain(void* self) { static_cast<ParallelDeflater*>(self)->Work(); }

void ParallelDeflater::Work() {
  monitor_.Lock();
  for (;;) {
    while (!stopping_ && todo_.empty()) monitor_.Wait();
    if (stopping_) break;
    DeflateJob* job = todo_.front();
    todo_.pop_front();
    monitor_.Unlock();
    bool ok = Compress(*job);
    monitor_.Lock();
    job->ok = ok;
    job->done = true;
    monitor_.NotifyAll();
  }
  monitor_.Unlock();
}

DeflateResult ParallelDeflater::AddRecord(const WString& name, const EntryTimes& times,
                                          platform::File& source) {
  // Each block is read before the previous one is queued, to know which is last.
  // Read through one buffer, so that a small file's job holds only its bytes.
  auto read_block = [this, &source](std::vector<uint8_t>& block) {
    read_buffer_.resize(kDeflateBlockSize);
    block.assign(read_buffer_.begin(),
                 read_buffer_.begin() + source.Read(read_buffer_.data(), kDeflateBlockSize));
    return source.status().ok();
  };
  std::vector<uint8_t> current, next, dictionary;
  if (!read_block(current)) return DeflateResult::kSourceError;
  for (bool first = true;; first = false) {
    if (!current.empty() && !read_block(next)) return DeflateResult::kSourceError;
    out_.source_bytes += static_cast<int64_t>(current.size());
    auto job = std::make_unique<DeflateJob>();
    job->first = first;
    job->whole = first && next.empty();
    job->last = next.empty();
    if (first) {  // framed here, in the order the records are added
      PackageOut head;
      head.memory = &job->header;
      head.framing = out_.framing;
      WriteEntryHeader(head, name, times);
    }
    job->dictionary = std::move(dictionary);
    // The next block is primed with the end of this one.
    if (!job->last) dictionary.assign(current.end() - kWindowSize, current.end());
    job->input_size = current.size();
    job->input = std::move(current);
    if (!Submit(std::move(job))) return DeflateResult::kPackageError;
    if (next.empty()) return DeflateResult::kOk;
    current = std::move(next);
    next = std::vector<uint8_t>();
  }
}

namespace {

bool MakeRecord(DeflateJob& job) {
  if (!job.maker->Make(job.output)) return false;
  job.maker.reset();
  return true;
}

}  // namespace

bool ParallelDeflater::AddMade(std::unique_ptr<RecordJob> maker, int64_t source_bytes) {
  out_.source_bytes += source_bytes;
  auto job = std::make_unique<DeflateJob>();
  job->whole = true;  // written as it is
  job->make = MakeRecord;
  if (out_.framing) {  // framed from where the records added before it end
    maker->framing = *out_.framing;
    maker->LastEntry(out_.framing->name, out_.framing->times);
  }
  job->memory = maker->memory();
  job->maker = std::move(maker);
  // Counted as a sixteenth of its size (of a block at least): the walk
  // runs ahead by dozens of small files, so that every worker stays busy
  // while one makes a large file's delta; a very large one (whose delta
  // takes memory in proportion) waits for the jobs before it. A job whose
  // memory is its coder's counts as one block, so that each worker can
  // make one, as far as the budget allows.
  job->input_size = job->memory > 0 ? kDeflateBlockSize
                                    : std::max<size_t>(kDeflateBlockSize / 16,
                                                       static_cast<size_t>(source_bytes / 16));
  while (!order_.empty() && queued_memory_ + job->memory > kMadeMemoryBudget) {
    if (!WriteOldest()) return false;
  }
  queued_memory_ += job->memory;
  return Submit(std::move(job));
}

bool ParallelDeflater::Submit(std::unique_ptr<DeflateJob> job) {
  if (failed_) return false;
  DeflateJob* raw = job.get();
  if (workers_.empty()) {
    raw->ok = Compress(*raw);
    raw->done = true;
    order_.push_back(std::move(job));
    return WriteOldest();
  }
  queued_bytes_ += raw->input_size;
  monitor_.Lock();
  order_.push_back(std::move(job));
  todo_.push_back(raw);
  monitor_.NotifyAll();
  monitor_.Unlock();
  // Small files queue by the dozen, large blocks one per thread and one more.
  while (queued_bytes_ > window_ * kDeflateBlockSize || order_.size() > 16 * window_) {
    if (!WriteOldest()) return false;
  }
  return true;
}

bool ParallelDeflater::WriteOldest() {
  monitor_.Lock();
  while (!order_.front()->done) monitor_.Wait();
  std::unique_ptr<DeflateJob> job = std::move(order_.front());
  order_.pop_front();
  monitor_.Unlock();
  queued_bytes_ -= job->input_size;
  queued_memory_ -= job->memory;
  if (!job->ok && job->maker) failed_job_ = std::move(job->maker);
  if (!job->ok || !WriteJob(*job)) failed_ = true;
  return !failed_;
}

bool ParallelDeflater::WriteJob(const DeflateJob& job) {
  static constexpr uint8_t kZlibHeader[2] = {0x78, 0x9C};  // deflate, 32 KiB window, level 6
  if (job.first && !WriteToPackage(out_, job.header.data(), job.header.size())) return false;
  if (job.first && !job.whole && !WriteToPackage(out_, kZlibHeader, 2)) return false;
  if (!WriteToPackage(out_, job.output.data(), job.output.size())) return false;
  if (job.whole) return true;
  adler_ = job.first ? job.adler
                     : static_cast<uint32_t>(adler32_combine(adler_, job.adler,
                                                             static_cast<z_off_t>(job.input_size)));
  if (!job.last) return true;
  uint8_t check[4] = {static_cast<uint8_t>(adler_ >> 24), static_cast<uint8_t>(adler_ >> 16),
                      static_cast<uint8_t>(adler_ >> 8), static_cast<uint8_t>(adler_)};
  return WriteToPackage(out_, check, sizeof check);
}

bool ParallelDeflater::Finish() {
  while (!order_.empty()) {
    if (!WriteOldest()) return false;
  }
  return !failed_;
}

}  // namespace updater::package
