// The jobs that make the records of a block of deltas: each file patched
// or whole, whichever is smaller, the patches coded together ("dblk").
#include <algorithm>

#include "release/record_jobs_internal.h"

namespace updater::release {
namespace {

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
  // Its patch is the whole new file coded after the old one.
  bool whole_after_old() const { return after_old() && raw[0][3].size() == header.new_size; }
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
    const bool moved = !file.choice() && package::FramedAsMoved(out, patch->header);
    std::vector<uint32_t> lengths = PatchLengths(patch->raw);
    for (const delta::PatchStreams& raw : patch->raw) {
      if (moved) break;  // a moved file has no parts
      for (int s = 0; s < 4; ++s) all[s].insert(all[s].end(), raw[s].begin(), raw[s].end());
    }
    if (file.choice()) {
      package::WriteChoiceFields(out, file.name, patch->header, file.current_in, patch->versions,
                                 OldNames(file.versions), lengths, 0);
      continue;
    }
    package::WriteOldName(out, file.name, file.versions[0].name, file.removes_old != nullptr);
    package::WriteDeltaHeader(out, patch->header);
    for (uint32_t length : lengths) {
      if (moved) break;
      package::WriteNumber(out, length, 4);
    }
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
    // Every patch in whichever records are kept says its old name's removal.
    for (const MadeFile* patch : patches) {
      if (patch->file->removes_old) *patch->file->removes_old = true;
    }
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
    const SolidFile whole_file{file.name, file.path, file.times, file.size};
    // A file patched from one version: its whole block's probe, bounded by
    // the plain patch, is made while the patch in inflated form is.
    WholeProbe probe;
    if (file.versions.size() == 1) {
      coding.beside_inflated = [&](const std::atomic<size_t>& bound) {
        probe = ProbeWhole(whole_file, coding_.level, bound.load(), &bound);
      };
    }
    bool patched =
        PatchVersions(file.path, file.versions, file.choice(), limits_, coding, made.versions,
                      made.coded, made.header, &made.raw, &made.literals_after_old);
    size_t patch = 0;  // the coded patches' bytes
    for (const delta::PatchStreams& streams : made.coded) {
      for (const std::vector<uint8_t>& stream : streams) patch += stream.size();
    }
    if (made.after_old()) patch -= made.after_old_gain();
    // The whole file's block is coded only as far as it could still be the
    // smaller; and not where the patch is the whole file coded after the old
    // one, which holds every match the whole file alone has (24 MB of new
    // text: 17 s more for a block 2.6 % larger).
    if (!made.whole_after_old()) {
      failure = CodeSolid({whole_file}, coding_.level, made.whole, nullptr,
                          patched ? patch : SIZE_MAX, nullptr, &probe);
      if (failure.failed()) return false;
    }
    size_t whole = made.patched() ? 0 : made.whole.stream.bytes.size();  // 0: stopped early
    if (PatchWins(patched, patch, whole)) made.whole = CodedBlock();
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
    RecordOut written(record, framing);
    package::PackageOut& out = written.out;
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
                       true, out, patch->literals_after_old, file.removes_old != nullptr);
    }
  }

  static void WriteWholes(const std::vector<const MadeFile*>& wholes, package::PackageOut& out) {
    for (const MadeFile* whole : wholes) WriteSolid(whole->whole, out);
  }

  std::vector<DeltaFile> files_;
  Coding coding_;
  delta::EncodeLimits limits_;
};

}  // namespace

Blocks<DeltaFile> DeltaBlocks(const Coding& coding, std::atomic<int64_t>* progress) {
  auto make = [](std::vector<DeltaFile> files, const Coding& coding,
                 std::atomic<int64_t>* progress) -> std::unique_ptr<package::RecordJob> {
    return std::make_unique<DeltaBlockJob>(std::move(files), coding, progress);
  };
  return {make, 16 << 20, 256, coding, progress};
}

}  // namespace updater::release
