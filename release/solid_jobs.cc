// The jobs that code whole files in solid blocks, each block as one job,
// and the seams where blocks that go on from each other meet.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "delta/deflate_streams.h"
#include "delta/patch.h"
#include "delta/whole_form.h"
#include "pack/package_builder.h"
#include "package/branch_filter.h"
#include "package/deflate_form.h"
#include "package/format.h"
#include "package/sample_filter.h"
#include "release/record_jobs_internal.h"

namespace updater::release {

namespace {

constexpr size_t kSampled = 1 << 20;

// True when `data` holds at least 8 branches a KiB that the filter would turn.
bool DenseInBranches(const uint8_t* data, size_t size) {
  size_t branches = 0;
  for (size_t i = 0; i + 5 <= size; ++i) {
    branches += (data[i] & 0xFE) == 0xE8 && static_cast<uint8_t>(data[i + 4] + 1) <= 1;
  }
  return branches * 1024 >= size * 8;
}

// Where a program's code lies in its file: its largest executable section.
struct Code {
  int64_t at = -1;  // -1: not such a program
  uint64_t size = 0;
  bool wide = false;  // x86-64
};

// The code of an x86 or x86-64 ELF file (symbols and strings often fill the
// first MiB, and the executable segment may start at 0).
Code ElfCode(const platform::File& file, const std::vector<uint8_t>& head, size_t got) {
  const uint8_t* h = head.data();
  if (got < 64 || std::memcmp(h, "\177ELF", 4) != 0 || h[5] != 1 || (h[4] != 1 && h[4] != 2)) {
    return {};
  }
  const int width = h[4] * 4;  // of an address: ELF32 or ELF64
  const uint64_t machine = package::GetLittleEndian(h + 18, 2);
  if (machine != 3 && machine != 62) return {};
  const uint64_t table = package::GetLittleEndian(h + 24 + 2 * width, width);
  const size_t entry = package::GetLittleEndian(h + 34 + 3 * width, 2);
  const size_t count = package::GetLittleEndian(h + 36 + 3 * width, 2);
  // A section table past a MiB is no compiler's (and would be read whole).
  if (entry < static_cast<size_t>(8 + 4 * width) || entry * count > kSampled || table > INT64_MAX) {
    return {};
  }
  std::vector<uint8_t> sections(entry * count);
  if (file.ReadAt(static_cast<int64_t>(table), sections.data(), sections.size()) !=
      sections.size()) {
    return {};
  }
  Code code;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* section = sections.data() + i * entry;
    const bool executable = package::GetLittleEndian(section + 8, width) & 4;  // SHF_EXECINSTR
    const bool in_file = package::GetLittleEndian(section + 4, 4) != 8;        // not SHT_NOBITS
    const uint64_t offset = package::GetLittleEndian(section + 8 + 2 * width, width);
    const uint64_t size = package::GetLittleEndian(section + 8 + 3 * width, width);
    if (executable && in_file && size > code.size && offset <= INT64_MAX) {
      code = {static_cast<int64_t>(offset), size, machine == 62};
    }
  }
  return code;
}

// The code of an x86 or x86-64 Windows program (debugging sections may fill
// most of the file); the first MiB of an "MZ" file without such a section
// table.
Code PeCode(const std::vector<uint8_t>& head, size_t got) {
  const uint8_t* h = head.data();
  if (got < 64 || h[0] != 'M' || h[1] != 'Z') return {};
  const Code start = {0, got};
  const uint64_t pe = package::GetLittleEndian(h + 0x3C, 4);
  if (pe > got - 24 || std::memcmp(h + pe, "PE\0\0", 4) != 0) return start;
  const uint64_t machine = package::GetLittleEndian(h + pe + 4, 2);
  const uint64_t count = package::GetLittleEndian(h + pe + 6, 2);
  const uint64_t table = pe + 24 + package::GetLittleEndian(h + pe + 20, 2);
  if ((machine != 0x14C && machine != 0x8664) || table + 40 * count > got) return start;
  Code code = start;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* section = h + table + 40 * i;
    const uint64_t size = package::GetLittleEndian(section + 16, 4);
    const bool executable = package::GetLittleEndian(section + 36, 4) & 0x20000000;
    if (executable && size > (code.at > 0 ? code.size : 0)) {
      code = {static_cast<int64_t>(package::GetLittleEndian(section + 20, 4)), size,
              machine == 0x8664};
    }
  }
  return code;
}

}  // namespace

bool IsX86Code(platform::File& file, package::SplitMoves* moves) {
  std::vector<uint8_t> head(kSampled);
  size_t got = file.Read(head.data(), head.size());
  Code code = PeCode(head, got);
  if (code.at < 0) code = ElfCode(file, head, got);
  if (code.at < 0) return false;
  if (code.at > 0) got = file.ReadAt(code.at, head.data(), std::min<uint64_t>(code.size, kSampled));
  if (moves && code.at > 0) {
    moves->code_from = static_cast<uint64_t>(code.at);
    moves->code_to = moves->code_from + code.size;
    moves->operands = code.wide;
  }
  return DenseInBranches(head.data(), got);
}

namespace {

// SampleForm of a file whose first `got` bytes (at most 4 KiB) are `head`.
uint8_t SampleFormOf(const uint8_t* head, size_t got) {
  if (got < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
    return 0;
  }
  int form = -1;
  // The chunks, each an id, a size and its bytes (padded to an even size),
  // up to the samples' or as far as read.
  for (size_t at = 12; at + 8 <= got;) {
    const uint64_t size = package::GetLittleEndian(head + at + 4, 4);
    if (std::memcmp(head + at, "data", 4) == 0) return form > 0 ? form : 0;
    if (std::memcmp(head + at, "fmt ", 4) == 0 && size >= 16 && at + 24 <= got) {
      const uint64_t tag = package::GetLittleEndian(head + at + 8, 2);
      const uint64_t channels = package::GetLittleEndian(head + at + 10, 2);
      const uint64_t bits = package::GetLittleEndian(head + at + 22, 2);
      const bool pcm = tag == 1 || tag == 0xFFFE;  // plain or extensible
      form = pcm && channels >= 1 && channels <= 16 && (bits == 8 || bits == 16)
                 ? static_cast<int>(channels - 1) | (bits == 16 ? 0x10 : 0)
                 : 0;
    }
    at += 8 + size + size % 2;
  }
  return 0;
}

}  // namespace

uint8_t SampleForm(platform::File& file) {
  uint8_t head[4096];
  return SampleFormOf(head, file.Read(head, sizeof head));
}

namespace {

// True when `file` starts as a zip archive or a PNG does: its deflate
// streams may be coded inflated.
bool HoldsDeflated(platform::File& file) {
  uint8_t head[8];
  return delta::StartsAsZipOrPng(head, file.Read(head, sizeof head));
}

// The largest zip archive or PNG read whole to be coded with its deflate
// streams inflated: it and its inflated streams are held in memory.
constexpr int64_t kMostReadWhole = int64_t{256} << 20;

// A stream inflating to more than this many times its deflated bytes stays
// deflated. The build's coding and checking, and the install's deflating,
// grow with the inflated bytes, and what LZMA saves on them falls as the
// growth rises (deflate did well there): on a game's archives, a MB
// inflated saved 590 KB where its members grew less than twice, 175 KB two
// to four times, 56 KB four to eight, 21 KB eight to sixteen; its PNGs 30
// KB four to eight times, 24 KB eight to sixteen, and past 128 times LZMA
// on the deflated bytes did better. So the default takes what grows at most
// four times (a 262 MB tree of game data: 1.9 % larger, built in two thirds
// of the time), and `max` sixteen.
uint32_t MostGrowth(delta::LzmaLevel level) { return level == delta::LzmaLevel::kMax ? 16 : 4; }

// Reads `file` on into `buffer` until it is full or the file ends (or a
// read fails, which the file's status then tells): the bytes read.
size_t ReadFilling(platform::File& file, std::vector<uint8_t>& buffer) {
  size_t got = 0;
  for (size_t read = 1; got < buffer.size() && read > 0; got += read) {
    read = file.Read(buffer.data() + got, buffer.size() - got);
  }
  return got;
}

// Whether a block reads `file` (listed `size` bytes) whole first, to code
// its deflate streams inflated: a zip archive or a PNG (which no program or
// sound file starts as). Leaves the file where it read to.
bool ReadsWhole(platform::File& file, int64_t size) {
  return size <= kMostReadWhole && file.Seek(0, SEEK_SET) && HoldsDeflated(file);
}

// The form a block codes of such a file, `size` bytes at `data`: its
// deflate streams inflated where the pinned zlib makes them again. At
// `max`, an inflated member that is a sound is coded as the sample filter
// codes a sound file: the game tree's update 1.7 % smaller (openarena's
// pak0.pk3 holds 184); at the default it made the build about 15 % slower
// (LZMA's match finder walks far in differences), and the default trades
// bytes for time already.
std::unique_ptr<delta::WholeForm> WholeForm(const uint8_t* data, size_t size,
                                            delta::LzmaLevel level) {
  delta::WholeForm::StreamHook samples;
  if (level == delta::LzmaLevel::kMax) {
    samples = [](package::MapStream& s, uint8_t* bytes, size_t size) {
      s.samples = SampleFormOf(bytes, std::min<size_t>(size, 4096));
      if (s.samples) package::SampleDifferences(s.samples, true).Code(bytes, size);
    };
  }
  return std::make_unique<delta::WholeForm>(data, size, MostGrowth(level), std::move(samples));
}

// Hands the files of a solid block to the coder one after the other, each
// hashed and counted as it is read, programs through the split branch
// filter and sounds through the sample filter.
class SolidInput {
 public:
  SolidInput(const std::vector<SolidFile>& files, delta::LzmaLevel level,
             std::atomic<int64_t>* progress)
      : files_(files), level_(level), progress_(progress) {}

  bool Read(uint8_t* buffer, size_t& size) {
    for (;;) {
      if (at_ < ready_) {  // coded bytes, as many as the coder asks
        size = std::min(size, ready_ - at_);
        std::memcpy(buffer, ready_bytes_ + at_, size);
        at_ += size;
        return true;
      }
      if (!file_ && !OpenNext(size)) return !failure.failed();
      if (!ReadNext()) return false;
    }
  }

  std::vector<package::SolidMember> members;  // each file read whole
  Failure failure;

 private:
  // Reads the file's next bytes into chunk_ through its filter (a whole
  // piece of the split branch filter's), or at the file's end ends it.
  bool ReadNext() {
    if (whole_) return ReadWhole();
    if (form_) return NextOfForm();
    const bool split = member_.filter == package::kSplitBranchFilter;
    std::vector<uint8_t>& read = split ? piece_ : chunk_;
    read.resize(split ? package::kSplitPiece : 64 * 1024);
    size_t got = file_.Read(read.data(), read.size());
    if (!file_.status()) {
      failure = Fail(Cause::kSourceUnreadable, files_[members.size()].path, file_.status());
      return false;
    }
    hash_->Update(read.data(), got);
    member_.size += got;
    if (progress_) *progress_ += static_cast<int64_t>(got);
    if (got == 0) return EndMember();
    if (samples_) samples_->Code(read.data(), got);
    if (split) {
      chunk_.clear();
      package::SplitBranches(piece_.data(), got, position_, moves_, chunk_);
    }
    position_ += got;
    at_ = 0;
    ready_ = split ? chunk_.size() : got;
    ready_bytes_ = chunk_.data();
    member_.coded += ready_;
    return true;
  }

  // Reads a zip archive or a PNG whole (as listed; a file that grew goes on
  // as it is read) and hands on its form (WholeForm), or its bytes as they
  // are where it grew.
  bool ReadWhole() {
    whole_ = false;
    const size_t listed = static_cast<size_t>(files_[members.size()].size);
    std::vector<uint8_t>& read = whole_bytes_;
    read.resize(listed + 1);
    size_t got = ReadFilling(file_, read);
    if (!file_.status()) {
      failure = Fail(Cause::kSourceUnreadable, files_[members.size()].path, file_.status());
      return false;
    }
    read.resize(got);
    hash_->Update(read.data(), got);
    member_.size = position_ = got;
    if (progress_) *progress_ += static_cast<int64_t>(got);
    if (got <= listed) {
      form_ = WholeForm(read.data(), got, level_);
      return NextOfForm();
    }
    at_ = 0;
    ready_ = member_.coded = got;
    ready_bytes_ = read.data();
    return true;
  }

  // Hands on the form's next bytes; at its end, tells the member's map
  // where it held streams inflated, and reads on (a file that grew).
  bool NextOfForm() {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    if (form_->Next(bytes, size)) {
      at_ = 0;
      ready_ = size;
      ready_bytes_ = bytes;
      member_.coded += size;
      return true;
    }
    if (!form_->map().news.empty()) {
      std::vector<uint8_t> map;  // a few bytes a stream: any level codes it alike
      package::AppendDeflateMap(map, form_->map());
      if (!delta::EncodeWholeStream(map.data(), map.size(), delta::LzmaLevel::kNormal,
                                    member_.map)) {
        failure = Fail(Cause::kOutputError, files_[members.size()].path);  // no memory
        return false;
      }
      member_.filter = package::kDeflatedFilter;
    }
    form_.reset();
    std::vector<uint8_t>().swap(whole_bytes_);
    at_ = ready_ = 0;
    return true;
  }

  bool EndMember() {
    (void)file_.Close();
    if (!hash_->Finish(member_.hash)) {
      failure = Fail(Cause::kOutputError, files_[members.size()].path);
      return false;
    }
    members.push_back(std::move(member_));
    return true;
  }

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
    member_ = package::SolidMember();
    member_.name = next.name;
    member_.times = next.times;
    position_ = 0;
    moves_ = {static_cast<uint64_t>(next.size)};
    samples_.reset();
    whole_ = false;
    if (IsX86Code(file_, &moves_)) {
      member_.filter = package::kSplitBranchFilter;
    } else if (file_.Seek(0, SEEK_SET) && (member_.samples = SampleForm(file_)) != 0) {
      member_.filter = package::kSampleFilter;
      samples_.emplace(member_.samples, true);
    } else {
      whole_ = ReadsWhole(file_, next.size);
    }
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
  delta::LzmaLevel level_;
  std::atomic<int64_t>* progress_;
  platform::File file_;
  package::SolidMember member_;
  uint64_t position_ = 0;      // of the file's next byte to read
  package::SplitMoves moves_;  // with the split filter (the file's size as listed)
  std::optional<package::SampleDifferences> samples_;  // with the sample filter
  std::vector<uint8_t> piece_;                         // a piece the split filter codes into chunk_
  std::vector<uint8_t> chunk_;                         // the bytes read and coded last
  // A file read whole, and its form while it is handed out.
  std::vector<uint8_t> whole_bytes_;
  std::unique_ptr<delta::WholeForm> form_;
  // The coded bytes, `ready_` of them (in chunk_, whole_bytes_ or the
  // form), handed out up to `at_`.
  const uint8_t* ready_bytes_ = nullptr;
  size_t at_ = 0, ready_ = 0;
  std::optional<platform::Sha256> hash_;
  bool whole_ = false;  // the file is read whole first, its deflate streams inflated
};

// The bytes of `files` as listed (what a block's memory and progress are reckoned by).
int64_t ListedBytes(const std::vector<SolidFile>& files) {
  int64_t listed = 0;
  for (const SolidFile& file : files) listed += file.size;
  return listed;
}

}  // namespace

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

namespace {

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

// How much of the block before's end a block starts with: half a window,
// a whole one at `max`. On the 217 MB tree of programs (two blocks, 64 MiB
// windows) 16 MiB took 0.63 % off, half a window 0.76 % and a whole window
// 0.87 %, but the build took 94 s with a whole window against 70 s with
// half (the match finder runs over the preset before the coding starts).
uint32_t SolidPreset(delta::LzmaLevel level) {
  uint32_t window = delta::LzmaWindow(level);
  return level == delta::LzmaLevel::kMax ? window : window / 2;
}

// The end of `before` (the block before, as its stream holds it), as many
// bytes as a block at `level` starts with, into `preset`, what was read
// told to `seam`.
Failure ReadPreset(const std::vector<SolidFile>& before, BlockSeam& seam, delta::LzmaLevel level,
                   std::vector<uint8_t>& preset) {
  const uint32_t bytes = SolidPreset(level);
  SolidInput input(before, level, nullptr);
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

Failure SolidRecord(std::vector<SolidFile> files, delta::LzmaLevel level,
                    std::vector<uint8_t>& record, std::atomic<int64_t>* progress, size_t largest,
                    const package::Framing& framing, const BlockLinks* links) {
  record.clear();
  CodedBlock block;
  Failure failure = CodeSolid(std::move(files), level, block, progress, largest, links);
  if (failure.failed() || block.members.empty()) return failure;
  RecordOut written(record, framing);
  package::PackageOut& out = written.out;
  WriteSolid(block, out);
  return {};
}

// How much of a file read whole a probe reads, and how many bytes past a
// bound its coding must write to tell that the whole file's would too: the
// coder's output for the same bytes differs only where it looks ahead, over
// the last few KiB it is given.
constexpr size_t kProbeBytes = 2 << 20;
constexpr size_t kProbeMargin = 16 << 10;
// The largest patch a probe is made for: a larger one is weighed against
// the whole block coded as far as it could still be the smaller.
constexpr size_t kMostProbedPatch = kProbeBytes / 8;

// The form of a probe's bytes, up to the end of its last stream held
// inflated (the bytes after it are cut where the probe's reading ended),
// taken as its streams are checked.
class ProbeForm {
 public:
  explicit ProbeForm(std::unique_ptr<delta::WholeForm> form) : form_(std::move(form)) {}

  // The next bytes up to the end of a stream held inflated into `ready_`;
  // false where no stream follows.
  bool NextStream() {
    ready_.clear();
    at_ = 0;
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    while (form_->Next(bytes, size)) {
      ready_.insert(ready_.end(), bytes, bytes + size);
      if (form_->map().news.size() > streams_) {  // a stream's inflated bytes
        ++streams_;
        return true;
      }
    }
    return false;
  }

  // As the coder reads: the form's next bytes, or none at its end.
  bool Read(uint8_t* buffer, size_t& size) {
    if (at_ == ready_.size() && !NextStream()) {
      size = 0;
      return true;
    }
    size = std::min(size, ready_.size() - at_);
    std::memcpy(buffer, ready_.data() + at_, size);
    at_ += size;
    return true;
  }

 private:
  std::unique_ptr<delta::WholeForm> form_;
  size_t streams_ = 0;  // handed on
  std::vector<uint8_t> ready_;
  size_t at_ = 0;
};

// Whether the probe tells the block would code to more than `largest`
// bytes: where its coding passed its bound by the margin, or came to more
// than `largest` by it (a coder stopped at that bound would have passed it).
bool ProbePasses(const WholeProbe& probe, size_t largest) {
  return probe.coded && (probe.passed || probe.bytes > largest + kProbeMargin);
}

}  // namespace

// The block of `file` alone is told from its first kProbeBytes where it is
// read whole: inflating and checking all the streams of an archive or PNG
// costs seconds before the coder's first byte, which a small patch beside
// it makes useless (a 39 MB archive with 28 members changed: 3.5 s for a
// patch of 4 KB). Its first streams are inflated as the whole file's are,
// so up to the end of the last of them the probe's bytes are the block's
// first; the coder, told the file's size, sizes its window as for the
// block. It takes them as they are checked, and the checking stops where it
// stops: mostly within the first members.
WholeProbe ProbeWhole(const SolidFile& file, delta::LzmaLevel level, size_t bound,
                      const std::atomic<size_t>* lowered) {
  WholeProbe probe;
  probe.bound = std::min(bound, kMostProbedPatch);
  if (file.size <= static_cast<int64_t>(kProbeBytes)) return probe;
  platform::Result<platform::File> opened = pack::OpenTreeFile(file.path);
  if (!opened || !ReadsWhole(*opened, file.size) || !opened->Seek(0, SEEK_SET)) return probe;
  std::vector<uint8_t> first(kProbeBytes);
  size_t got = ReadFilling(*opened, first);
  if (!opened->status()) return probe;  // the block's own reading tells
  ProbeForm form(WholeForm(first.data(), got, level));
  if (!form.NextStream()) return probe;  // none held inflated: no coder started
  delta::LzmaStream stream;
  probe.coded =
      delta::EncodeLzma(level, package::LzmaProps{}, static_cast<uint64_t>(file.size),
                        [&form](uint8_t* buffer, size_t& size) { return form.Read(buffer, size); },
                        stream, package::kMaxLzmaDictionary, probe.bound + kProbeMargin, {},
                        {lowered, kProbeMargin}) ||
      stream.over_limit;
  probe.passed = stream.over_limit;
  probe.bytes = stream.bytes.size();
  return probe;
}

Failure CodeSolid(std::vector<SolidFile> files, delta::LzmaLevel level, CodedBlock& block,
                  std::atomic<int64_t>* progress, size_t largest, const BlockLinks* links,
                  const WholeProbe* probe) {
  if (largest <= kMostProbedPatch && files.size() == 1 && !links) {
    const bool told = probe && largest <= probe->bound;
    if (ProbePasses(told ? *probe : ProbeWhole(files[0], level, largest), largest)) {
      return {};  // stopped early, as the coder stops past `largest`
    }
  }
  std::vector<uint8_t> preset;
  if (links && !links->before.empty()) {
    Failure read = ReadPreset(links->before, *links->before_seam, level, preset);
    if (read.failed()) return read;
  }
  int64_t listed = ListedBytes(files);
  SolidInput input(files, level, progress);
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

}  // namespace updater::release
