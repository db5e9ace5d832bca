// The records a `--delta-from` build makes on its workers: a delta record
// (the old file's name, the delta header, four streams: "dlzm" with LZMA,
// "dstr" deflated) where that is smaller than the whole file's record, else
// the whole-file record exactly as any build writes it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "delta/lzma_encoder.h"
#include "delta/patch.h"
#include "package/branch_filter.h"
#include "package/failure.h"
#include "package/parallel_deflate.h"
#include "package/record_reader.h"
#include "platform/platform.h"

namespace updater::release {

// How a build codes whole files and patches: solid LZMA blocks and LZMA
// streams at a level, or each file and stream deflated alone ("file"
// records, as the updater's own -l writes them, and "dstr" and "alts").
struct Coding {
  bool lzma = true;
  delta::LzmaLevel level = delta::LzmaLevel::kNormal;
  delta::PatchCoding patches() const { return {lzma, level}; }
};

// The record that packs the file at `path` whole into `record`, named
// `name` with `times`: a "file" record, or with LZMA a block of that file
// alone, left empty where its stream would pass `largest` bytes. Its
// fields are framed from `framing` on, as every record these functions make.
Failure WholeRecord(const WString& name, const WString& path, const EntryTimes& times,
                    std::vector<uint8_t>& record, const Coding& coding = {false},
                    size_t largest = SIZE_MAX, const package::Framing& framing = {});

// A file a solid block packs.
struct SolidFile {
  WString name, path;
  EntryTimes times;
  // As listed: to cut the blocks, to size the coder's window, and where the
  // split filter's targets lie.
  int64_t size = 0;
};

// The record of a solid block of `files` into `record`; `progress`, where
// given, is told each file's bytes as they are coded. `record` stays empty
// where the stream would pass `largest` bytes: its coding stops there.
Failure SolidRecord(std::vector<SolidFile> files, delta::LzmaLevel level,
                    std::vector<uint8_t>& record, std::atomic<int64_t>* progress = nullptr,
                    size_t largest = SIZE_MAX, const package::Framing& framing = {});

// True when `file` is a program whose code holds at least 8 branches a KiB
// that the filter would turn, counted in the first MiB of the largest
// executable section of an x86 or x86-64 Windows program ("MZ", else of
// the file) or ELF file: compiled x86 code has about 18, a program of
// mostly data 2 or fewer, which the filter makes larger. Leaves the file at
// its start only where it reads it. Tells `moves`, where given, where the
// code lies and whether it is x86-64.
bool IsX86Code(platform::File& file, package::SplitMoves* moves = nullptr);

// The form of samples (package/sample_filter.h) of `file` where it is a
// WAVE file of 8- or 16-bit PCM samples, of 1 to 16 channels, whose
// samples start within its first 4 KiB (chunks are padded to an even size,
// so they start at an even offset); else 0. Leaves the file where it read to.
uint8_t SampleForm(platform::File& file);

// The bytes a block of whole files closes at: `listed` cut evenly into as
// few blocks of at most two windows of `level` as it takes (four at `max`).
int64_t SolidBlockBound(delta::LzmaLevel level, int64_t listed);

// Gathers files into blocks cut by the listing alone (so that the bytes
// never depend on the threads): a block closes once its files' listed bytes
// reach a bound, or their count does, and one job makes its records.
template <typename Member>
class Blocks {
 public:
  using MakeJob = std::function<std::unique_ptr<package::RecordJob>(
      std::vector<Member> files, const Coding& coding, std::atomic<int64_t>* progress)>;
  Blocks(MakeJob make, int64_t bytes, size_t files, const Coding& coding,
         std::atomic<int64_t>* progress)
      : make_(make),
        bytes_bound_(bytes),
        files_bound_(files),
        coding_(coding),
        progress_(progress) {}

  // Adds a file: the job of the block it fills, or none yet.
  std::unique_ptr<package::RecordJob> Add(Member file) {
    bytes_ += file.size;
    files_.push_back(std::move(file));
    return bytes_ < bytes_bound_ && files_.size() < files_bound_ ? nullptr : Rest();
  }
  // The job of the files not yet in a block, or none.
  std::unique_ptr<package::RecordJob> Rest() {
    if (files_.empty()) return nullptr;
    taken_ = bytes_;
    bytes_ = 0;
    return make_(std::move(files_), coding_, progress_);
  }
  // The listed bytes of the files a job took last.
  int64_t taken() const { return taken_; }

 private:
  MakeJob make_;
  int64_t bytes_bound_;
  size_t files_bound_;
  Coding coding_;
  std::atomic<int64_t>* progress_;
  std::vector<Member> files_;
  int64_t bytes_ = 0, taken_ = 0;
};

// The whole files of an LZMA build, each block coded as one job: the
// `listed` bytes of the tree cut into as few blocks of about the same size
// as hold at most two of the level's windows each (four at `max`), where
// `chained` each block's stream starting with the end of the block before
// in its window. Only a build that writes nothing between its blocks
// chains them: the updater lets a window go at any other record.
Blocks<SolidFile> SolidBlocks(const Coding& coding, int64_t listed, std::atomic<int64_t>* progress,
                              bool chained = true);

// The streams into `streams` that make the file at `new_path` from the one
// at `old_path`, and their sizes and SHA-256s into `header`. The streams
// stay empty where there is no delta to make (an empty old file, or a file
// of 2 GiB). `raw`: the streams as they decode; `literals_after_old`: the
// literals coded after the old file, where `coding` asks and that is smaller.
Failure EncodePatch(const WString& new_path, const WString& old_path, delta::PatchStreams& streams,
                    package::DeltaHeader& header, const delta::EncodeLimits& limits = {},
                    const delta::PatchCoding& coding = {}, delta::PatchStreams* raw = nullptr,
                    std::vector<uint8_t>* literals_after_old = nullptr);

// The delta record into `record` that makes the file at `new_path` (named
// `name`, with `times`) from the old release's file `old_name` at
// `old_path`. `record` stays empty where there is no delta to make (an empty
// old file, or a file of 2 GiB).
Failure DeltaRecord(const WString& name, const WString& new_path, const WString& old_name,
                    const WString& old_path, const EntryTimes& times, std::vector<uint8_t>& record,
                    const delta::EncodeLimits& limits = {}, const delta::PatchCoding& coding = {},
                    const package::Framing& framing = {});

// The job that makes the record of the file at `new_path`: the delta from
// `old_path` where that is smaller than the whole-file record, otherwise the
// whole-file record. An old file that cannot be read is no failure: the
// file goes whole. A new file that cannot be read fails with its path and
// the system's error.
// `progress`, where given, is told the new file's bytes as they are encoded.
std::unique_ptr<package::RecordJob> DeltaRecordJob(const WString& name, const WString& new_path,
                                                   const WString& old_name, const WString& old_path,
                                                   const EntryTimes& times,
                                                   std::atomic<int64_t>* progress = nullptr,
                                                   const Coding& coding = {false});

// One old version of a file, for an update from several releases: the
// version as the record holds it, and where the build reads it.
struct OldVersion {
  package::Version version;
  WString name;  // its name in its release (the file's own, or a move's)
  WString path;
};

// A file an LZMA build patches: from its one old version, or (with
// `current_in` or several versions) from whichever is installed.
struct DeltaFile {
  WString name, path;
  EntryTimes times;
  // As listed: to cut the blocks, to size the coder's window, and where the
  // split filter's targets lie.
  int64_t size = 0;
  std::vector<OldVersion> versions;
  uint32_t current_in = 0;  // the releases that hold the new file already
  // Set where the update removes the old name of the file's one version
  // (moved, or renamed and edited): a patch says so for the removal's
  // record, and its job sets the flag once it has. The build owns it.
  std::atomic<bool>* removes_old = nullptr;
  bool choice() const { return versions.size() > 1 || current_in != 0; }
};

// The files an LZMA build patches (with no whole file beside the patches),
// in blocks of at most 16 MiB (listed) or 256 files. A block's job makes
// each file's record as DeltaRecordJob (or ChoiceRecordJob) does, then
// codes the patches together ("dblk": their streams share the coder's
// window and what it has learnt, so a tree of small patches costs far less
// than each alone).
Blocks<DeltaFile> DeltaBlocks(const Coding& coding, std::atomic<int64_t>* progress);

// The job that makes the record of a file with several old `versions`
// (none of them in `current_in`, the releases that hold the new file): an
// "alts" record with a patch from each distinct version and, with `whole`,
// the whole file for an installed file that is none of them; else, where
// that is smaller or a version has no patch, the whole-file record.
std::unique_ptr<package::RecordJob> ChoiceRecordJob(const WString& name, const WString& new_path,
                                                    const EntryTimes& times,
                                                    std::vector<OldVersion> versions,
                                                    uint32_t current_in, bool whole,
                                                    std::atomic<int64_t>* progress = nullptr,
                                                    const Coding& coding = {false});

}  // namespace updater::release
