#include "release/record_jobs.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "pack/package_builder.h"
#include "package/branch_filter.h"
#include "package/delta.h"

namespace updater::release {

bool IsX86Code(platform::File& file) {
  std::vector<uint8_t> head(2);
  if (file.Read(head.data(), 2) != 2 || head[0] != 'M' || head[1] != 'Z') return false;
  head.resize(1 << 20);
  size_t got = 2 + file.Read(head.data() + 2, head.size() - 2);
  size_t branches = 0;
  for (size_t i = 0; i + 5 <= got; ++i) {
    branches += (head[i] & 0xFE) == 0xE8 && static_cast<uint8_t>(head[i + 4] + 1) <= 1;
  }
  return branches * 1024 >= got * 8;
}

namespace {

// The record of a delta: header, old name, delta header, the four stream
// lengths, then the four streams; given `literals_after_old`, a "dlzo"
// record whose literals are those.
void WriteDeltaRecord(const WString& name, const WString& old_name, const EntryTimes& times,
                      const package::DeltaHeader& header, const delta::PatchStreams& streams,
                      bool lzma, package::PackageOut& out,
                      const std::vector<uint8_t>& literals_after_old = {}) {
  bool after_old = !literals_after_old.empty();
  const std::vector<uint8_t>* written[] = {&streams[0], &streams[1], &streams[2],
                                           after_old ? &literals_after_old : &streams[3]};
  const char* tag = after_old ? package::kDeltaAfterOldTag
                    : lzma    ? package::kDeltaLzmaTag
                              : package::kDeltaTag;
  package::WriteEntryHeader(out, name, times, tag);
  package::WriteEntryName(out, old_name == name ? WString() : old_name);  // none: its own
  package::WriteDeltaHeader(out, header);
  for (const std::vector<uint8_t>* stream : written) package::WriteNumber(out, stream->size(), 4);
  for (const std::vector<uint8_t>* stream : written) {
    package::WriteToPackage(out, stream->data(), stream->size());
  }
}

class DeltaJob : public package::RecordJob {
 public:
  DeltaJob(WString name, WString new_path, WString old_name, WString old_path, EntryTimes times,
           std::atomic<int64_t>* progress, const Coding& coding)
      : name_(std::move(name)),
        new_path_(std::move(new_path)),
        old_name_(std::move(old_name)),
        old_path_(std::move(old_path)),
        times_(times),
        coding_(coding) {
    limits_.progress = progress;
  }

  void LastEntry(WString& name, EntryTimes& times) const override {
    name = name_;
    times = times_;
  }

  bool Make(std::vector<uint8_t>& record) override {
    std::vector<uint8_t> delta;
    Failure no_delta = DeltaRecord(name_, new_path_, old_name_, old_path_, times_, delta, limits_,
                                   coding_.patches(), framing);
    bool patched = !no_delta.failed() && !delta.empty();
    // The whole file's block is coded only as far as it could still be the
    // smaller (a file of new assets with a small patch: a few percent of it).
    failure = WholeRecord(name_, new_path_, times_, record, coding_,
                          patched ? delta.size() : SIZE_MAX, framing);
    if (failure.failed()) return false;
    if (patched && (record.empty() || delta.size() < record.size())) record.swap(delta);
    return true;
  }

 private:
  WString name_, new_path_, old_name_, old_path_;
  EntryTimes times_;
  Coding coding_;
  delta::EncodeLimits limits_;
};

// Hands the files of a solid block to the coder one after the other, each
// hashed and counted as it is read, the x86 programs through the branch
// filter.
class SolidInput {
 public:
  SolidInput(const std::vector<SolidFile>& files, std::atomic<int64_t>* progress)
      : files_(files), progress_(progress) {}

  bool Read(uint8_t* buffer, size_t& size) {
    for (;;) {
      if (at_ < ready_) {  // decided bytes, as many as the coder asks
        size = std::min(size, ready_ - at_);
        std::memcpy(buffer, chunk_.data() + at_, size);
        at_ += size;
        return true;
      }
      if (!file_ && !OpenNext(size)) return !failure.failed();
      // The bytes the filter could not decide yet go first.
      size_t held = all_ - ready_;
      std::memmove(chunk_.data(), chunk_.data() + ready_, held);
      at_ = 0;
      size_t got = file_.Read(chunk_.data() + held, chunk_.size() - held);
      if (!file_.status()) {
        failure = Fail(Cause::kSourceUnreadable, files_[members.size()].path, file_.status());
        return false;
      }
      hash_->Update(chunk_.data() + held, got);
      member_.size += got;
      if (progress_) *progress_ += static_cast<int64_t>(got);
      all_ = held + got;
      // At the file's end what is held goes as it is.
      ready_ = got > 0 && member_.filter == package::kBranchFilter
                   ? package::FilterBranches(chunk_.data(), all_, position_, true)
                   : all_;
      position_ += ready_;
      if (all_ > 0) continue;
      (void)file_.Close();
      if (!hash_->Finish(member_.hash)) {
        failure = Fail(Cause::kOutputError, files_[members.size()].path);
        return false;
      }
      members.push_back(std::move(member_));
    }
  }

  std::vector<package::SolidMember> members;  // each file read whole
  Failure failure;

 private:
  // Opens the next file; false (`size` 0) at the end or on a failure.
  bool OpenNext(size_t& size) {
    if (members.size() == files_.size()) {
      size = 0;
      return false;
    }
    const SolidFile& next = files_[members.size()];
    platform::Result<platform::File> opened = pack::OpenTreeFile(next.path);
    if (!opened) {
      failure = Fail(Cause::kSourceUnreadable, next.path, opened.status());
      return false;
    }
    file_ = std::move(*opened);
    member_ = {next.name, next.times, 0, {}, package::kNoFilter};
    position_ = 0;
    if (IsX86Code(file_)) member_.filter = package::kBranchFilter;
    platform::Status back = file_.Seek(0, SEEK_SET);
    if (!back || !file_.status()) {
      failure = Fail(Cause::kSourceUnreadable, next.path, back ? file_.status() : back);
      return false;
    }
    hash_.reset();
    hash_.emplace();
    return true;
  }

  const std::vector<SolidFile>& files_;
  std::atomic<int64_t>* progress_;
  platform::File file_;
  package::SolidMember member_;
  uint64_t position_ = 0;  // of the file's next byte to filter
  // The file's bytes read: those before ready_ decided (handed out up to
  // at_), the rest up to all_ not yet.
  std::vector<uint8_t> chunk_ = std::vector<uint8_t>(64 * 1024);
  size_t at_ = 0, ready_ = 0, all_ = 0;
  std::optional<platform::Sha256> hash_;
};

// The bytes of `files` as listed (what a block's memory and progress are reckoned by).
int64_t ListedBytes(const std::vector<SolidFile>& files) {
  int64_t listed = 0;
  for (const SolidFile& file : files) listed += file.size;
  return listed;
}

// Where two solid blocks meet. The block after starts with the last bytes
// of the one before in its window (its preset), which its job reads again
// from the same files: both reads must find the same bytes, or the stream
// after would decode to others. Each job tells what it read of the files the
// two share; the second to tell compares.
class BlockSeam {
 public:
  // The first of `files` whose size, SHA-256 or filter differs from the
  // other side's, or null.
  const SolidFile* Tell(std::vector<package::SolidMember> read,
                        const std::vector<SolidFile>& files) {
    monitor_.Lock();
    const SolidFile* differs = nullptr;
    if (!told_) {
      told_ = std::move(read);
    } else {
      for (size_t i = 0; i < files.size() && !differs; ++i) {
        bool same = i < read.size() && i < told_->size() && read[i].size == (*told_)[i].size &&
                    read[i].filter == (*told_)[i].filter &&
                    std::memcmp(read[i].hash, (*told_)[i].hash, 32) == 0;
        if (!same) differs = &files[i];
      }
    }
    monitor_.Unlock();
    return differs;
  }

 private:
  platform::Monitor monitor_;
  std::optional<std::vector<package::SolidMember>> told_;
};

// How a block meets its neighbours: the last files of the block before (as
// many as hold its preset in listed bytes) and the seam there, and the seam
// with the block after, which shares this block's last `shared_after` files.
struct BlockLinks {
  std::vector<SolidFile> before;
  std::shared_ptr<BlockSeam> before_seam, after_seam;
  size_t shared_after = 0;
};

Failure SolidRecord(std::vector<SolidFile> files, delta::LzmaLevel level,
                    std::vector<uint8_t>& record, std::atomic<int64_t>* progress, size_t largest,
                    const package::Framing& framing, const BlockLinks* links);

// A block's files are coded in the walk's order (by name in each folder):
// programs of a family sit side by side there. Ordered by extension, a
// folder's .exe, .sys and .cpl files went apart from the .dll files they
// resemble, and the 217 MB tree's two blocks were 0.9 % larger.
class SolidJob : public package::RecordJob {
 public:
  SolidJob(std::vector<SolidFile> files, delta::LzmaLevel level, std::atomic<int64_t>* progress,
           BlockLinks links)
      : files_(std::move(files)), level_(level), progress_(progress), links_(std::move(links)) {}

  void LastEntry(WString& name, EntryTimes& times) const override {
    name = files_.back().name;
    times = files_.back().times;
  }

  bool Make(std::vector<uint8_t>& record) override {
    failure = SolidRecord(std::move(files_), level_, record, progress_, SIZE_MAX, framing, &links_);
    return !failure.failed();
  }

  // Asked as the job is queued, before Make takes the files.
  size_t memory() const override {
    return delta::LzmaCoderMemory(level_, static_cast<uint64_t>(ListedBytes(files_)));
  }

 private:
  std::vector<SolidFile> files_;
  delta::LzmaLevel level_;
  std::atomic<int64_t>* progress_;
  BlockLinks links_;
};

}  // namespace

namespace {

// A solid block coded, its record not yet written (which frames its fields
// after the record before it).
struct CodedBlock {
  std::vector<package::SolidMember> members;
  delta::LzmaStream stream;
  uint32_t preset = 0;  // bytes of the block before in the window at the start
};

// How much of the block before's end a block starts with: half a window,
// a whole one at `max`. On the 217 MB tree of programs (two blocks, 64 MiB
// windows) 16 MiB took 0.63 % off, half a window 0.76 % and a whole window
// 0.87 %, but the build took 94 s with a whole window against 70 s with
// half (the match finder runs over the preset before the coding starts).
uint32_t SolidPreset(delta::LzmaLevel level) {
  uint32_t window = delta::LzmaWindow(level);
  return level == delta::LzmaLevel::kMax ? window : window / 2;
}

// The last `bytes` of `before` (the end of the block before, as its stream
// holds them) into `preset`, what was read told to `seam`.
Failure ReadPreset(const std::vector<SolidFile>& before, BlockSeam& seam, uint32_t bytes,
                   std::vector<uint8_t>& preset) {
  SolidInput input(before, nullptr);
  preset.clear();
  std::vector<uint8_t> chunk(1 << 20);
  for (;;) {
    size_t got = chunk.size();
    if (!input.Read(chunk.data(), got)) return input.failure;
    if (got == 0) break;
    if (preset.size() + got > 2 * size_t{bytes}) {  // only the end is kept
      preset.erase(preset.begin(), preset.end() - std::min<size_t>(preset.size(), bytes));
    }
    preset.insert(preset.end(), chunk.data(), chunk.data() + got);
  }
  if (preset.size() > bytes) preset.erase(preset.begin(), preset.end() - bytes);
  if (const SolidFile* changed = seam.Tell(std::move(input.members), before)) {
    return Fail(Cause::kSourceChanged, changed->path);
  }
  return {};
}

// Codes `files` as one block into `block`, after the end of the block
// before where `links` has one; its members stay empty where the stream
// would pass `largest` bytes: its coding stops there.
Failure CodeSolid(std::vector<SolidFile> files, delta::LzmaLevel level, CodedBlock& block,
                  std::atomic<int64_t>* progress, size_t largest,
                  const BlockLinks* links = nullptr) {
  std::vector<uint8_t> preset;
  if (links && !links->before.empty()) {
    Failure read = ReadPreset(links->before, *links->before_seam, SolidPreset(level), preset);
    if (read.failed()) return read;
  }
  int64_t listed = ListedBytes(files);
  SolidInput input(files, progress);
  delta::LzmaStream& stream = block.stream;
  bool coded = delta::EncodeLzma(
      level, package::LzmaProps{}, static_cast<uint64_t>(listed),
      [&input](uint8_t* buffer, size_t& size) { return input.Read(buffer, size); }, stream,
      package::kMaxLzmaDictionary, largest, {preset.data(), preset.size()});
  if (input.failure.failed()) return input.failure;
  if (stream.over_limit) return {};
  if (!coded || input.members.size() != files.size()) {
    return Fail(Cause::kOutputError, files.empty() ? WString() : files[0].path);  // no memory
  }
  if (stream.bytes.size() > package::kMaxPayloadLength) return Fail(Cause::kPackageTooLarge, {});
  if (links && links->after_seam) {
    size_t shared = std::min(links->shared_after, files.size());
    std::vector<SolidFile> last(files.end() - shared, files.end());
    std::vector<package::SolidMember> read(input.members.end() - shared, input.members.end());
    if (const SolidFile* changed = links->after_seam->Tell(std::move(read), last)) {
      return Fail(Cause::kSourceChanged, changed->path);
    }
  }
  block.members = std::move(input.members);
  block.preset = static_cast<uint32_t>(preset.size());
  return {};
}

void WriteSolid(const CodedBlock& block, package::PackageOut& out) {
  const delta::LzmaStream& stream = block.stream;
  package::WriteSolidHead(out, block.members, package::LzmaPropsByte(stream.props),
                          stream.props.dictionary, static_cast<uint32_t>(stream.bytes.size()),
                          block.preset);
  package::WriteToPackage(out, stream.bytes.data(), stream.bytes.size());
}

Failure SolidRecord(std::vector<SolidFile> files, delta::LzmaLevel level,
                    std::vector<uint8_t>& record, std::atomic<int64_t>* progress, size_t largest,
                    const package::Framing& framing, const BlockLinks* links) {
  record.clear();
  CodedBlock block;
  Failure failure = CodeSolid(std::move(files), level, block, progress, largest, links);
  if (failure.failed() || block.members.empty()) return failure;
  package::PackageOut out;
  out.memory = &record;
  package::Framing frame = framing;
  out.framing = &frame;
  WriteSolid(block, out);
  return {};
}

}  // namespace

Failure SolidRecord(std::vector<SolidFile> files, delta::LzmaLevel level,
                    std::vector<uint8_t>& record, std::atomic<int64_t>* progress, size_t largest,
                    const package::Framing& framing) {
  return SolidRecord(std::move(files), level, record, progress, largest, framing, nullptr);
}

// The bytes a block of whole files closes at: `listed` cut evenly into as
// few blocks of at most two windows as it takes (four at `max`), so that a
// large tree makes a block per core, and blocks of about the same size keep
// the cores busy to the end. A block starts with the end of the one before
// in its window (a block that restarted the coder's window cost 0.8 % on a
// 217 MB tree of programs: two blocks against one), and its coder's model
// alone restarts: that tree in one block at `max` is 0.2 % smaller than in
// two, in about twice the time.
int64_t SolidBlockBound(delta::LzmaLevel level, int64_t listed) {
  int64_t most = (level == delta::LzmaLevel::kMax ? 4 : 2) * int64_t{delta::LzmaWindow(level)};
  if (listed <= 0) return most;
  int64_t blocks = (listed + most - 1) / most;
  return std::min(most, (listed + blocks - 1) / blocks);
}

// The last of `files` that hold at least `bytes` of their listed bytes.
std::vector<SolidFile> LastFiles(const std::vector<SolidFile>& files, int64_t bytes) {
  size_t first = files.size();
  for (int64_t held = 0; first > 0 && held < bytes;) held += files[--first].size;
  return {files.begin() + static_cast<std::ptrdiff_t>(first), files.end()};
}

Blocks<SolidFile> SolidBlocks(const Coding& coding, int64_t listed, std::atomic<int64_t>* progress,
                              bool chained) {
  // Each block's job links to the one before: its last files, and their seam.
  auto before = std::make_shared<BlockLinks>();
  auto make = [before, chained](
                  std::vector<SolidFile> files, const Coding& coding,
                  std::atomic<int64_t>* progress) -> std::unique_ptr<package::RecordJob> {
    BlockLinks links;
    if (chained) {
      links = std::move(*before);
      links.after_seam = std::make_shared<BlockSeam>();
      before->before = LastFiles(files, SolidPreset(coding.level));
      before->before_seam = links.after_seam;
      links.shared_after = before->before.size();
    }
    return std::make_unique<SolidJob>(std::move(files), coding.level, progress, std::move(links));
  };
  return {make, SolidBlockBound(coding.level, listed), SIZE_MAX, coding, progress};
}

Failure WholeRecord(const WString& name, const WString& path, const EntryTimes& times,
                    std::vector<uint8_t>& record, const Coding& coding, size_t largest,
                    const package::Framing& framing) {
  if (coding.lzma)
    return SolidRecord({{name, path, times, 0}}, coding.level, record, nullptr, largest, framing);
  record.clear();
  package::PackageOut out;
  out.memory = &record;
  package::Framing frame = framing;
  out.framing = &frame;
  platform::Result<platform::File> source = pack::OpenTreeFile(path);
  if (!source) return Fail(Cause::kSourceUnreadable, path, source.status());
  package::ParallelDeflater deflater(out, 1);
  package::DeflateResult added = deflater.AddRecord(name, times, *source);
  if (added == package::DeflateResult::kSourceError) {
    return Fail(Cause::kSourceUnreadable, path, source->status());
  }
  if (added != package::DeflateResult::kOk || !deflater.Finish()) {
    return Fail(Cause::kOutputError, path, platform::Status::Error(out.os_error));
  }
  return {};
}

Failure EncodePatch(const WString& new_path, const WString& old_path, delta::PatchStreams& streams,
                    package::DeltaHeader& header, const delta::EncodeLimits& limits,
                    const delta::PatchCoding& coding, delta::PatchStreams* raw,
                    std::vector<uint8_t>* literals_after_old) {
  for (std::vector<uint8_t>& stream : streams) stream.clear();
  platform::MappedFile old_file(old_path), new_file(new_path);
  if (!old_file.status()) return Fail(Cause::kSourceUnreadable, old_path, old_file.status());
  if (!new_file.status()) return Fail(Cause::kSourceUnreadable, new_path, new_file.status());
  platform::Result<std::optional<delta::Patch>> patch = delta::EncodePatch(
      old_file.data(), old_file.size(), new_file.data(), new_file.size(), limits, coding);
  if (!patch) return Fail(Cause::kOutputError, new_path);  // no hash, or the coder found no memory
  if (!*patch) return {};
  header = (*patch)->header;
  streams = std::move((*patch)->streams);
  if (raw) *raw = std::move((*patch)->raw);
  if (literals_after_old) *literals_after_old = std::move((*patch)->literals_after_old);
  return {};
}

Failure DeltaRecord(const WString& name, const WString& new_path, const WString& old_name,
                    const WString& old_path, const EntryTimes& times, std::vector<uint8_t>& record,
                    const delta::EncodeLimits& limits, const delta::PatchCoding& coding,
                    const package::Framing& framing) {
  record.clear();
  delta::PatchStreams streams;
  package::DeltaHeader header;
  Failure failure = EncodePatch(new_path, old_path, streams, header, limits, coding);
  if (failure.failed() || streams[0].empty()) return failure;
  package::PackageOut out;
  out.memory = &record;
  package::Framing frame = framing;
  out.framing = &frame;
  WriteDeltaRecord(name, old_name, times, header, streams, coding.lzma, out);
  return {};
}

std::unique_ptr<package::RecordJob> DeltaRecordJob(const WString& name, const WString& new_path,
                                                   const WString& old_name, const WString& old_path,
                                                   const EntryTimes& times,
                                                   std::atomic<int64_t>* progress,
                                                   const Coding& coding) {
  return std::make_unique<DeltaJob>(name, new_path, old_name, old_path, times, progress, coding);
}

namespace {

// The patches of the file at `path` from each distinct one of `olds` into
// `patches` (and their streams as they decode into `raw`, where given),
// each version with the index of its patch into `versions`, and the new
// file's size and SHA-256 into `made`. Only the first encoding is given
// `limits.progress`: the new file's bytes count once. False where a version
// has no patch (an empty file, or, with `check`, one changed since it was
// listed: its SHA-256 is not the one it was listed with).
bool PatchVersions(const WString& path, const std::vector<OldVersion>& olds, bool check,
                   delta::EncodeLimits limits, const delta::PatchCoding& coding,
                   std::vector<package::Version>& versions,
                   std::vector<delta::PatchStreams>& patches, package::DeltaHeader& made,
                   std::vector<delta::PatchStreams>* raw = nullptr,
                   std::vector<uint8_t>* literals_after_old = nullptr) {
  std::vector<const uint8_t*> patched;  // the old SHA-256 of each patch
  for (const OldVersion& old : olds) {
    package::Version version = old.version;
    version.patch = static_cast<uint8_t>(patched.size());
    for (size_t i = 0; i < patched.size(); ++i) {
      if (std::memcmp(patched[i], old.version.hash, 32) == 0)
        version.patch = static_cast<uint8_t>(i);
    }
    versions.push_back(version);
    if (version.patch < patched.size()) continue;  // patched from already
    patches.emplace_back();
    if (raw) raw->emplace_back();
    Failure encoded = EncodePatch(path, old.path, patches.back(), made, limits, coding,
                                  raw ? &raw->back() : nullptr, literals_after_old);
    limits.progress = nullptr;
    if (encoded.failed() || patches.back()[0].empty() ||
        (check && std::memcmp(made.old_hash, old.version.hash, 32) != 0)) {
      return false;
    }
    patched.push_back(old.version.hash);
  }
  return true;
}

// The old names `olds` are read at, and the four stream lengths of each of
// `patches`, as an "alts" record's fields list them.
std::vector<WString> OldNames(const std::vector<OldVersion>& olds) {
  std::vector<WString> names;
  for (const OldVersion& old : olds) names.push_back(old.name);
  return names;
}

std::vector<uint32_t> PatchLengths(const std::vector<delta::PatchStreams>& patches) {
  std::vector<uint32_t> lengths;
  for (const delta::PatchStreams& streams : patches) {
    for (const std::vector<uint8_t>& stream : streams) {
      lengths.push_back(static_cast<uint32_t>(stream.size()));
    }
  }
  return lengths;
}

// A file of a block of deltas, made: its patch (`coded` empty: none), or
// its whole file's block where that is smaller.
struct MadeFile {
  const DeltaFile* file;
  package::DeltaHeader header;                  // the last patch's: the new file's size and SHA-256
  std::vector<package::Version> versions;       // each with the patch made from it
  std::vector<delta::PatchStreams> coded, raw;  // a patch per distinct version
  // A file patched from one version: its literals coded after the old
  // file, where that is the smaller (else empty).
  std::vector<uint8_t> literals_after_old;
  CodedBlock whole;
  bool patched() const { return whole.members.empty(); }
  bool after_old() const { return patched() && !literals_after_old.empty(); }
  size_t after_old_gain() const { return coded[0][3].size() - literals_after_old.size(); }
};

// The record of a block of patches ("dblk"): each file's header and the
// sizes its streams decode to, then each stream's settings and length,
// then the four streams (every file's parts back to back), coded.
bool WriteDeltaBlock(const std::vector<const MadeFile*>& patches, delta::LzmaLevel level,
                     package::PackageOut& out) {
  package::WriteToPackage(out, package::kDeltaBlockTag, 4);
  package::WriteNumber(out, patches.size(), 4);
  delta::PatchStreams all;
  for (const MadeFile* patch : patches) {
    const DeltaFile& file = *patch->file;
    package::WriteRecordName(out, file.name);
    package::WriteEntryTimes(out, file.times);
    package::WriteNumber(out, file.choice(), 1);
    std::vector<uint32_t> lengths = PatchLengths(patch->raw);
    for (const delta::PatchStreams& raw : patch->raw) {
      for (int s = 0; s < 4; ++s) all[s].insert(all[s].end(), raw[s].begin(), raw[s].end());
    }
    if (file.choice()) {
      package::WriteChoiceFields(out, file.name, patch->header, file.current_in, patch->versions,
                                 OldNames(file.versions), lengths, 0);
      continue;
    }
    const WString& old_name = file.versions[0].name;
    package::WriteEntryName(out, old_name == file.name ? WString() : old_name);
    package::WriteDeltaHeader(out, patch->header);
    for (uint32_t length : lengths) package::WriteNumber(out, length, 4);
  }
  delta::PatchStreams coded;
  for (int s = 0; s < 4; ++s) {
    uint8_t settings = 0;
    if (!delta::CodeBlockStream(all[s], s, level, settings, coded[s])) return false;
    all[s] = std::vector<uint8_t>();
    package::WriteNumber(out, settings, 1);
    package::WriteNumber(out, coded[s].size(), 4);
  }
  for (const std::vector<uint8_t>& stream : coded) {
    package::WriteToPackage(out, stream.data(), stream.size());
  }
  return true;
}

// Makes the records of a block of files, each patched from one old version:
// a file whose patch is no smaller than its whole file's block goes whole
// (as DeltaJob decides), the patches go into one "dblk" record (one alone:
// "dlzm"). The last file's record comes last, since the next job frames its
// fields after it.
class DeltaBlockJob : public package::RecordJob {
  // The most files weighed for records of their own, each coding the block again.
  static constexpr size_t kMostApart = 8;

 public:
  DeltaBlockJob(std::vector<DeltaFile> files, const Coding& coding, std::atomic<int64_t>* progress)
      : files_(std::move(files)), coding_(coding) {
    limits_.progress = progress;
  }

  void LastEntry(WString& name, EntryTimes& times) const override {
    name = files_.back().name;
    times = files_.back().times;
  }

  bool Make(std::vector<uint8_t>& record) override {
    std::vector<MadeFile> made(files_.size());
    for (size_t i = 0; i < files_.size(); ++i) {
      if (!MakeFile(files_[i], made[i])) return false;
    }
    std::vector<const MadeFile*> patches, wholes;
    for (const MadeFile& file : made) (file.patched() ? patches : wholes).push_back(&file);
    const MadeFile* last = &made.back();
    if (!WriteRecords(wholes, patches, {}, last, record)) return false;
    if (patches.size() < 2) return true;
    // A file whose literals code much smaller after its old file goes in a
    // "dlzo" record of its own where the records come out smaller so than
    // with it in the block, whose streams it shares with the others: the
    // files that gain most first, one more at a time while the records
    // shrink. (Measured: files whose literals gained under an eighth lost
    // more than that once out of the block, on compiled modules and programs.)
    std::vector<const MadeFile*> candidates;
    for (const MadeFile* file : patches) {
      if (file->after_old() && file->after_old_gain() >= file->coded[0][3].size() / 8) {
        candidates.push_back(file);
      }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const MadeFile* a, const MadeFile* b) {
                       return a->after_old_gain() > b->after_old_gain();
                     });
    std::vector<const MadeFile*> apart;
    std::vector<uint8_t> split;
    for (const MadeFile* file : candidates) {
      if (apart.size() == kMostApart) break;
      apart.push_back(file);
      std::vector<const MadeFile*> together;
      for (const MadeFile* patch : patches) {
        if (std::find(apart.begin(), apart.end(), patch) == apart.end()) together.push_back(patch);
      }
      if (!WriteRecords(wholes, together, apart, last, split)) return false;
      if (split.size() >= record.size()) break;
      record.swap(split);
    }
    return true;
  }

 private:
  bool MakeFile(const DeltaFile& file, MadeFile& made) {
    made.file = &file;
    delta::PatchCoding coding = coding_.patches();
    coding.after_old = !file.choice();
    bool patched =
        PatchVersions(file.path, file.versions, file.choice(), limits_, coding, made.versions,
                      made.coded, made.header, &made.raw, &made.literals_after_old);
    size_t patch = 0;  // the coded patches' bytes
    for (const delta::PatchStreams& streams : made.coded) {
      for (const std::vector<uint8_t>& stream : streams) patch += stream.size();
    }
    if (made.after_old()) patch -= made.after_old_gain();
    // The whole file's block is coded only as far as it could still be the
    // smaller.
    failure = CodeSolid({{file.name, file.path, file.times, 0}}, coding_.level, made.whole, nullptr,
                        patched ? patch : SIZE_MAX);
    if (failure.failed()) return false;
    if (patched && !made.patched() && patch < made.whole.stream.bytes.size()) {
      made.whole = CodedBlock();
    }
    if (!made.patched()) made.coded = made.raw = {};
    return true;
  }

  // The records of the block's files into `record`: `wholes` whole, the
  // `together` patches in one block (one alone: its own record), those
  // `apart` each in its own "dlzo" record; `last` (the last file) in the
  // last record, since the next job frames its fields after it.
  bool WriteRecords(const std::vector<const MadeFile*>& wholes,
                    const std::vector<const MadeFile*>& together,
                    const std::vector<const MadeFile*>& apart, const MadeFile* last,
                    std::vector<uint8_t>& record) {
    record.clear();
    package::PackageOut out;
    out.memory = &record;
    package::Framing frame = framing;
    out.framing = &frame;
    auto in = [last](const std::vector<const MadeFile*>& files) {
      return std::find(files.begin(), files.end(), last) != files.end();
    };
    if (!in(wholes)) WriteWholes(wholes, out);
    if (in(together)) WriteApart(apart, out);
    if (together.size() == 1 && !together[0]->file->choice()) {
      WriteApart(together, out);
    } else if (!together.empty() && !WriteDeltaBlock(together, coding_.level, out)) {
      failure = Fail(Cause::kOutputError, files_[0].path);  // the coder found no memory
      return false;
    }
    if (!in(together)) WriteApart(apart, out);
    if (in(wholes)) WriteWholes(wholes, out);
    return true;
  }

  // Each patch in its own record, in the block's order (the last file's
  // last): "dlzo" where its literals code smaller after the old file, else "dlzm".
  static void WriteApart(std::vector<const MadeFile*> patches, package::PackageOut& out) {
    std::sort(patches.begin(), patches.end());  // all point into one vector
    for (const MadeFile* patch : patches) {
      const DeltaFile& file = *patch->file;
      WriteDeltaRecord(file.name, file.versions[0].name, file.times, patch->header, patch->coded[0],
                       true, out, patch->literals_after_old);
    }
  }

  static void WriteWholes(const std::vector<const MadeFile*>& wholes, package::PackageOut& out) {
    for (const MadeFile* whole : wholes) WriteSolid(whole->whole, out);
  }

  std::vector<DeltaFile> files_;
  Coding coding_;
  delta::EncodeLimits limits_;
};

// Makes the "alts" record of a file with several old versions: a patch
// from each distinct one, and (`whole`) the whole file beside them. Where a
// version cannot be patched from, or (without the whole file) that is no
// smaller than the whole-file record, the whole-file record.
// The size of the file at `path`, or 0.
int64_t WholeSize(const WString& path) { return std::move(platform::FileSize(path)).value_or(0); }

class ChoiceJob : public package::RecordJob {
 public:
  ChoiceJob(WString name, WString new_path, EntryTimes times, std::vector<OldVersion> versions,
            uint32_t current_in, bool whole, std::atomic<int64_t>* progress, const Coding& coding)
      : coding_(coding),
        name_(std::move(name)),
        new_path_(std::move(new_path)),
        times_(times),
        versions_(std::move(versions)),
        current_in_(current_in),
        whole_(whole),
        progress_(progress) {}

  void LastEntry(WString& name, EntryTimes& times) const override {
    name = name_;
    times = times_;
  }

  bool Make(std::vector<uint8_t>& record) override {
    // The whole file an "alts" record carries: with LZMA a stream as its
    // patches' are ("alzw"); deflated, the zlib stream of its whole-file
    // record (framed plainly, as deflated builds frame theirs).
    bool lzma_whole = whole_ && coding_.lzma;
    std::vector<uint8_t> whole;
    if (lzma_whole && (failure = WholeLzmaStream(whole)).failed()) return false;
    if (!lzma_whole) {
      failure = WholeRecord(name_, new_path_, times_, record, coding_, SIZE_MAX, framing);
      if (failure.failed()) return false;
      size_t head = 4 + 2 + 2 * name_.size() + 24;  // the tag, name and times
      if (whole_) whole.assign(record.begin() + static_cast<std::ptrdiff_t>(head), record.end());
    }
    // With the whole file inside, the record is never the smaller one: it
    // is kept for what it adds (an installed version is told, and patched
    // or left as it is, and only another file is written whole).
    std::vector<uint8_t> choice;
    bool made = MakeChoice(whole, choice);
    // The new file counts once, whatever was encoded: the first patch's
    // encoding told it, unless none came that far.
    if (progress_ && !told_) *progress_ += WholeSize(new_path_);
    if (made && (whole_ || choice.size() < record.size())) {
      record.swap(choice);
    } else if (lzma_whole) {  // a version has no patch: the file goes whole after all
      failure = WholeRecord(name_, new_path_, times_, record, coding_, SIZE_MAX, framing);
    }
    return !failure.failed();
  }

 private:
  Failure WholeLzmaStream(std::vector<uint8_t>& whole) {
    platform::MappedFile file(new_path_);
    if (!file.status()) return Fail(Cause::kSourceUnreadable, new_path_, file.status());
    if (!delta::EncodeWholeStream(file.data(), file.size(), coding_.level, whole)) {
      return Fail(Cause::kOutputError, new_path_);  // the coder found no memory
    }
    return {};
  }

  // The record into `choice`, with `whole` as its whole file's stream
  // unless that is empty; false where a version has no patch.
  bool MakeChoice(const std::vector<uint8_t>& whole, std::vector<uint8_t>& choice) {
    std::vector<package::Version> versions;
    std::vector<delta::PatchStreams> patches;
    package::DeltaHeader made;
    delta::EncodeLimits limits;
    limits.progress = progress_;
    bool patched = PatchVersions(new_path_, versions_, true, limits, coding_.patches(), versions,
                                 patches, made);
    told_ = progress_ && !patches.empty();
    if (!patched) return false;  // the old file changed since it was listed, or has no delta
    std::vector<uint32_t> lengths = PatchLengths(patches);
    uint32_t whole_length = static_cast<uint32_t>(whole.size());
    package::PackageOut out;
    out.memory = &choice;
    package::Framing frame = framing;
    out.framing = &frame;
    package::WriteChoiceHead(out, name_, times_, made, current_in_, versions, OldNames(versions_),
                             lengths, whole_length, coding_.lzma);
    for (const delta::PatchStreams& streams : patches) {
      for (const std::vector<uint8_t>& stream : streams) {
        package::WriteToPackage(out, stream.data(), stream.size());
      }
    }
    package::WriteToPackage(out, whole.data(), whole.size());
    return true;
  }

  Coding coding_;
  WString name_, new_path_;
  EntryTimes times_;
  std::vector<OldVersion> versions_;
  uint32_t current_in_;
  bool whole_;
  std::atomic<int64_t>* progress_;
  bool told_ = false;  // an encoding was given `progress_`
};

}  // namespace

Blocks<DeltaFile> DeltaBlocks(const Coding& coding, std::atomic<int64_t>* progress) {
  auto make = [](std::vector<DeltaFile> files, const Coding& coding,
                 std::atomic<int64_t>* progress) -> std::unique_ptr<package::RecordJob> {
    return std::make_unique<DeltaBlockJob>(std::move(files), coding, progress);
  };
  return {make, 16 << 20, 256, coding, progress};
}

std::unique_ptr<package::RecordJob> ChoiceRecordJob(const WString& name, const WString& new_path,
                                                    const EntryTimes& times,
                                                    std::vector<OldVersion> versions,
                                                    uint32_t current_in, bool whole,
                                                    std::atomic<int64_t>* progress,
                                                    const Coding& coding) {
  return std::make_unique<ChoiceJob>(name, new_path, times, std::move(versions), current_in, whole,
                                     progress, coding);
}

}  // namespace updater::release
