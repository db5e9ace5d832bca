#include "apply/patch_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "package/delta.h"

namespace updater::apply {
namespace {

using package::kInflateBufferSize;

}  // namespace

void OldFileCheck::Check() {
  std::vector<uint8_t> buffer(kInflateBufferSize);
  platform::Sha256 hash;
  uint64_t size = 0;
  for (size_t got; size <= old_size && (got = old->ReadAt(static_cast<int64_t>(size), buffer.data(),
                                                          buffer.size(), &read)) > 0;
       size += got) {
    hash.Update(buffer.data(), got);
  }
  hashed = read && size == old_size && hash.Finish(digest);
  expected = hashed && old_hash && std::memcmp(digest, *old_hash, 32) == 0;
  refused = !expected;
}

namespace {

// SHA-256 computed on a thread of its own over a ring of a few buffers,
// handed to it in order, so that hashing the new file overlaps building it,
// without copies; or, not `threaded`, at once on the caller's.
class BackgroundHash {
 public:
  explicit BackgroundHash(bool threaded)
      : depth_(threaded ? kDepth : 1), buffers_(depth_ * kInflateBufferSize) {
    if (threaded)
      thread_ = std::move(platform::StartThread(Run, this)).value_or(platform::Thread());
  }
  ~BackgroundHash() { Stop(); }
  BackgroundHash(const BackgroundHash&) = delete;
  BackgroundHash& operator=(const BackgroundHash&) = delete;

  // The next buffer of kInflateBufferSize bytes to fill; waits until it has
  // been hashed. Each one is handed to Hash before the next is asked for.
  uint8_t* Buffer() {
    monitor_.Lock();
    while (queued_ == depth_) monitor_.Wait();
    monitor_.Unlock();
    uint8_t* buffer = &buffers_[next_ * kInflateBufferSize];
    next_ = (next_ + 1) % depth_;
    return buffer;
  }

  // Hashes the first `size` bytes of the buffer Buffer() gave last; it may
  // still be read meanwhile, but not written.
  void Hash(const uint8_t* buffer, size_t size) {
    if (!thread_) return hash_.Update(buffer, size);
    monitor_.Lock();
    sizes_[(next_ + depth_ - 1) % depth_] = size;
    ++queued_;
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

  // Hashes the queued buffers in ring order, oldest first.
  void Work() {
    monitor_.Lock();
    for (size_t oldest = 0;; oldest = (oldest + 1) % depth_) {
      while (queued_ == 0 && !done_) monitor_.Wait();
      if (queued_ == 0) break;
      monitor_.Unlock();
      hash_.Update(&buffers_[oldest * kInflateBufferSize], sizes_[oldest]);
      monitor_.Lock();
      --queued_;
      monitor_.NotifyAll();
    }
    monitor_.Unlock();
  }

  size_t depth_;
  std::vector<uint8_t> buffers_;  // depth_ of them, back to back
  size_t sizes_[kDepth] = {};     // of the piece queued in each
  size_t next_ = 0;               // the buffer to fill next
  size_t queued_ = 0;             // filled and not yet hashed
  platform::Sha256 hash_;
  platform::Monitor monitor_;
  bool done_ = false;
  platform::Thread thread_;
};

// How far the patch may run ahead of the old file's check, past the old
// file's own size: beyond it, it waits for the verdict.
constexpr uint64_t kPatchLead = 32 << 20;
// Old files up to this size are read whole into memory to be patched from.
constexpr uint64_t kWholeOldFile = 32 << 20;

// The new file of a delta, made a buffer at a time as its operations come:
// each buffer is hashed on another thread while it is written here. It stops
// once the old file is known to be another version, and never runs more
// than kPatchLead ahead of knowing: a small hostile record cannot make it
// write much, however the threads run.
class PatchWriter : public package::DeltaSink {
 public:
  PatchWriter(const platform::File& old, OldFileCheck& check, platform::Thread* checker,
              platform::File* out)
      : old_(old), check_(check), checker_(checker), out_(out), hash_(checker != nullptr) {}

  bool Copy(uint64_t offset, uint64_t length) override { return Emit(kOld, length, offset); }
  bool Literal(uint64_t length) override { return Emit(kLiterals, length, 0); }
  bool Difference(uint64_t offset, uint64_t length) override {
    if (difference_.empty()) difference_.resize(kInflateBufferSize);
    if (references_) predictor_.emplace(*references_, offset, length, total_ + used_);
    difference_start_ = offset;
    difference_end_ = offset + length;
    return Emit(kDifference, length, offset);
  }
  bool PredictReferences(const package::ReferenceMap& map) override {
    references_ = &map;
    return true;
  }
  // From here on the old file is read inflated, and what the patch makes is
  // deflated again before it is hashed and written.
  bool InflatedForm(package::DeflateMap& map) override {
    inflated_.reset(new Inflated(*this, map));
    return true;
  }
  bool Finish(uint8_t (&digest)[32]) {
    if (inflated_) return inflated_->redeflater.Finish() && inflated_->hash.Finish(digest);
    return hash_.Finish(digest);
  }

  // Hashes and writes the buffer filled so far.
  bool Flush() {
    if (!piece_) return true;
    if (inflated_ && !inflated_->redeflater.Feed(piece_, used_)) return false;
    if (!inflated_) hash_.Hash(piece_, used_);
    if (out_ && !inflated_) written = out_->Write(piece_, used_);
    total_ += used_;
    piece_ = nullptr;
    used_ = 0;
    return written.ok();
  }

  platform::Status written, read;
  package::SplitStreams* streams = nullptr;  // the record's

 private:
  // Where the bytes of an operation come from.
  enum Source { kOld, kLiterals, kDifference };

  // Fills `piece` with `size` bytes of an operation from `source`: the old
  // file from `offset`, the literals, or the old file plus the differences.
  bool Fill(Source source, uint8_t* piece, uint64_t offset, size_t size) {
    if (source == kLiterals) return streams->literals.Pull(piece, size) == size;
    if (!ReadOld(offset, piece, size)) return false;
    if (source == kOld) return true;
    if (predictor_ && !Predict(piece, offset, size)) return false;
    if (!streams->Differences(difference_.data(), size)) return false;
    for (size_t i = 0; i < size; ++i) piece[i] = static_cast<uint8_t>(piece[i] + difference_[i]);
    return true;
  }

  // Turns the old bytes in `piece` (of the difference being made) into
  // their predicted references.
  bool Predict(uint8_t* piece, uint64_t offset, size_t size) {
    uint8_t ahead[package::ReferencePredictor::kLookAhead];
    size_t more =
        static_cast<size_t>(std::min<uint64_t>(sizeof ahead, difference_end_ - (offset + size)));
    if (more > 0 && !ReadOld(offset + size, ahead, more)) return false;
    predictor_->Predict(piece, offset - difference_start_, size, ahead, more);
    return true;
  }

  // Reads `size` bytes of the old file from `offset` through a window of it:
  // the whole file where it is small (the operations of moved code jump all
  // over it), else kInflateBufferSize bytes from the last place missed.
  bool ReadOld(uint64_t offset, uint8_t* out, size_t size) {
    if (inflated_) return inflated_->old.Read(offset, out, size, read);
    if (window_.empty()) {
      window_.resize(check_.old_size <= kWholeOldFile ? check_.old_size : kInflateBufferSize);
    }
    while (size > 0) {
      if (offset < window_start_ || offset - window_start_ >= window_size_) {
        window_start_ = window_.size() == check_.old_size ? 0 : offset;
        window_size_ =
            old_.ReadAt(static_cast<int64_t>(window_start_), window_.data(), window_.size(), &read);
        if (window_size_ == 0) return false;
      }
      size_t at = static_cast<size_t>(offset - window_start_);
      size_t take = std::min(size, window_size_ - at);
      std::memcpy(out, window_.data() + at, take);
      out += take;
      offset += take;
      size -= take;
    }
    return true;
  }

  // Adds the `length` bytes of an operation to the buffer being filled,
  // which is hashed and written each time it is full: many small
  // operations cost one write.
  bool Emit(Source source, uint64_t length, uint64_t offset) {
    for (uint64_t done = 0; done < length;) {
      if (!piece_) {
        if (checker_ && total_ > check_.old_size + kPatchLead) checker_->Join();
        if (check_.refused) return false;
        piece_ = hash_.Buffer();
      }
      size_t size =
          static_cast<size_t>(std::min<uint64_t>(length - done, kInflateBufferSize - used_));
      if (!Fill(source, piece_ + used_, offset + done, size)) return false;
      used_ += size;
      done += size;
      if (used_ == kInflateBufferSize && !Flush()) return false;
    }
    return true;
  }

  // A patch in inflated form: the old file read inflated, and what the patch
  // makes deflated again, then hashed and written.
  struct Inflated : package::ByteSink {
    Inflated(PatchWriter& writer, package::DeflateMap& taken)
        : writer(writer), map(std::move(taken)), old(map, writer.old_), redeflater(map, *this) {}
    bool Take(const uint8_t* data, size_t size) override {
      hash.Update(data, size);
      if (writer.out_) writer.written = writer.out_->Write(data, size);
      return writer.written.ok();
    }
    PatchWriter& writer;
    package::DeflateMap map;
    package::InflatedOld old;
    package::Redeflater redeflater;
    platform::Sha256 hash;
  };

  const platform::File& old_;
  std::unique_ptr<Inflated> inflated_;
  OldFileCheck& check_;
  platform::Thread* checker_;
  platform::File* out_;  // none: the new file is only hashed
  BackgroundHash hash_;
  uint64_t total_ = 0;                                    // bytes written
  uint8_t* piece_ = nullptr;                              // the buffer being filled
  size_t used_ = 0;                                       // bytes in it
  std::vector<uint8_t> difference_;                       // a piece of the difference stream
  const package::ReferenceMap* references_ = nullptr;     // where the patch predicts them
  std::optional<package::ReferencePredictor> predictor_;  // of the difference being made
  uint64_t difference_start_ = 0, difference_end_ = 0;    // its old bytes
  std::vector<uint8_t> window_;                           // of the old file, from window_start_
  uint64_t window_start_ = 0;
  size_t window_size_ = 0;
};

// The old file's bytes, read whole, for literals coded after it (at most
// kMaxLzmaDictionary: the reader refuses more). A file shorter than its
// record says leaves zeros: its hash, checked beside, refuses it then.
platform::Status ReadWholeOld(const platform::File& old, uint64_t size,
                              std::vector<uint8_t>& bytes) {
  bytes.assign(static_cast<size_t>(size), 0);
  platform::Status read;
  for (size_t at = 0, got = 1; at < bytes.size() && got > 0; at += got) {
    got = old.ReadAt(static_cast<int64_t>(at), bytes.data() + at, bytes.size() - at, &read);
  }
  return read;
}

}  // namespace

Failure Patch(platform::File& package, const package::RecordReader& reader,
              const package::Record& record, const platform::File& old, OldFileCheck& check,
              platform::Thread* checker, platform::File* out) {
  const package::DeltaHeader& delta = record.delta;
  PatchWriter writer(old, check, checker, out);
  package::DeltaOps ops(delta.old_size, delta.new_size, writer);
  int64_t start = package.Tell();
  // In a block, the parts of the patches before the chosen one go first.
  package::SharedStream* block = reader.block();
  for (int s = 0; block && s < 4; ++s) {
    platform::Status read;
    if (!package::SkipShared(package, block[s], record.part_skip[s], read)) {
      return reader.Fault(read ? Cause::kBadStream : Cause::kPackageReadFailed, read);
    }
  }
  std::vector<uint8_t> old_bytes;  // the literals' window, where they are coded after the old file
  if (record.literals_after_old && !delta.moved) {
    platform::Status read = ReadWholeOld(old, delta.old_size, old_bytes);
    if (!read) return Fail(Cause::kReadOldFile, record.target, read);
  }
  package::SplitStreams streams(package, start, record.stream_lengths, record.lzma_streams, block,
                                record.literals_after_old, &old_bytes);
  writer.streams = &streams;
  package::InflateResult inflated = {package::InflateEnd::kDone, 0};
  if (!delta.moved) {
    inflated = package::RunSplitDelta(streams, ops);
  } else if (!writer.Copy(0, delta.old_size)) {  // the old file's bytes, all of them
    inflated = {package::InflateEnd::kSinkFailed, 0};
  }
  if (inflated.end == package::InflateEnd::kDone && !writer.Flush()) {
    inflated = {package::InflateEnd::kSinkFailed, 0};  // the last write failed
  }
  platform::Status after = package.Seek(start + record.streams_size(), SEEK_SET);
  if (!after) inflated = {package::InflateEnd::kReadFailed, after.error()};
  if (!writer.read) return Fail(Cause::kReadOldFile, record.target, writer.read);
  if (inflated.end == package::InflateEnd::kSinkFailed && writer.written) {
    return reader.Fault(Cause::kBadDelta);  // an operation the old file cannot serve
  }
  Failure failure = InflateFailure(inflated, reader, record.target, writer.written);
  if (failure.failed()) return failure;
  uint8_t digest[32];
  if ((!delta.moved && !ops.Complete()) || !writer.Finish(digest) ||
      std::memcmp(digest, delta.new_hash, 32) != 0) {
    return reader.Fault(Cause::kBadDelta);
  }
  return {};
}

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

}  // namespace updater::apply
