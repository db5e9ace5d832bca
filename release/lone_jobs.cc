// The jobs that make one file's record on their own: a patch from one old
// release, a patch from whichever of several is installed ("alts"), or the
// whole file, whichever is smaller; and what blocks of deltas share of them.
#include <cstring>

#include "pack/package_builder.h"
#include "release/record_jobs_internal.h"

namespace updater::release {

void WriteDeltaRecord(const WString& name, const WString& old_name, const EntryTimes& times,
                      const package::DeltaHeader& header, const delta::PatchStreams& streams,
                      bool lzma, package::PackageOut& out,
                      const std::vector<uint8_t>& literals_after_old, bool removes_old) {
  bool after_old = !literals_after_old.empty();
  const std::vector<uint8_t>* written[] = {&streams[0], &streams[1], &streams[2],
                                           after_old ? &literals_after_old : &streams[3]};
  const char* tag = after_old ? package::kDeltaAfterOldTag
                    : lzma    ? package::kDeltaLzmaTag
                              : package::kDeltaTag;
  package::WriteEntryHeader(out, name, times, tag);
  package::WriteOldName(out, name, old_name, removes_old);
  package::WriteDeltaHeader(out, header);
  if (package::FramedAsMoved(out, header)) return;  // no streams: the old file's bytes
  for (const std::vector<uint8_t>* stream : written) package::WriteNumber(out, stream->size(), 4);
  for (const std::vector<uint8_t>* stream : written) {
    package::WriteToPackage(out, stream->data(), stream->size());
  }
}

bool PatchVersions(const WString& path, const std::vector<OldVersion>& olds, bool check,
                   delta::EncodeLimits limits, const delta::PatchCoding& coding,
                   std::vector<package::Version>& versions,
                   std::vector<delta::PatchStreams>& patches, package::DeltaHeader& made,
                   std::vector<delta::PatchStreams>* raw,
                   std::vector<uint8_t>* literals_after_old) {
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

namespace {

// The size of the file at `path`, or 0.
int64_t WholeSize(const WString& path) { return std::move(platform::FileSize(path)).value_or(0); }

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
    if (PatchWins(patched, delta.size(), record.size())) record.swap(delta);
    return true;
  }

 private:
  WString name_, new_path_, old_name_, old_path_;
  EntryTimes times_;
  Coding coding_;
  delta::EncodeLimits limits_;
};

}  // namespace

Failure WholeRecord(const WString& name, const WString& path, const EntryTimes& times,
                    std::vector<uint8_t>& record, const Coding& coding, size_t largest,
                    const package::Framing& framing) {
  if (coding.lzma) {
    // Its size as listed sizes the coder's window: without it the coder
    // shrinks its window to a few KiB.
    return SolidRecord({{name, path, times, WholeSize(path)}}, coding.level, record, nullptr,
                       largest, framing);
  }
  record.clear();
  RecordOut written(record, framing);
  package::PackageOut& out = written.out;
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
  RecordOut written(record, framing);
  package::PackageOut& out = written.out;
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

// Beside the whole file, a patch no smaller than it is dropped, and the
// versions it served with it: the updater takes such a version for an
// edited file, which the whole file replaces.
void DropPatchesNoSmallerThan(size_t whole, std::vector<package::Version>& versions,
                              std::vector<WString>& old_names,
                              std::vector<delta::PatchStreams>& patches) {
  std::vector<int> kept_as(patches.size(), -1);
  std::vector<delta::PatchStreams> kept;
  for (size_t p = 0; p < patches.size(); ++p) {
    size_t size = 0;
    for (const std::vector<uint8_t>& stream : patches[p]) size += stream.size();
    if (size >= whole) continue;
    kept_as[p] = static_cast<int>(kept.size());
    kept.push_back(std::move(patches[p]));
  }
  size_t count = 0;
  for (size_t v = 0; v < versions.size(); ++v) {
    if (kept_as[versions[v].patch] < 0) continue;
    versions[count] = versions[v];
    versions[count].patch = static_cast<uint8_t>(kept_as[versions[v].patch]);
    old_names[count++] = std::move(old_names[v]);
  }
  versions.resize(count);
  old_names.resize(count);
  patches = std::move(kept);
}

// Makes the "alts" record of a file with several old versions: a patch
// from each distinct one, and (`whole`) the whole file beside them. Where a
// version cannot be patched from, or (without the whole file) that is no
// smaller than the whole-file record, the whole-file record.
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
      // Its stream starts after the tag, name and times, framed as the record framed them.
      std::vector<uint8_t> head;
      RecordOut measured(head, framing);
      package::WriteEntryHeader(measured.out, name_, times_);
      if (whole_)
        whole.assign(record.begin() + static_cast<std::ptrdiff_t>(head.size()), record.end());
    }
    // With the whole file inside, the record is never the smaller one: it
    // is kept for what it adds (an installed version is told, and patched
    // or left as it is, and only another file is written whole).
    std::vector<uint8_t> choice;
    bool made = MakeChoice(whole, choice);
    // The new file counts once, whatever was encoded: the first patch's
    // encoding told it, unless none came that far.
    if (progress_ && !told_) *progress_ += WholeSize(new_path_);
    if ((made && whole_) || PatchWins(made, choice.size(), record.size())) {
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
    std::vector<WString> old_names = OldNames(versions_);
    if (!whole.empty()) DropPatchesNoSmallerThan(whole.size(), versions, old_names, patches);
    if (patches.empty()) return false;  // the whole file serves every version
    std::vector<uint32_t> lengths = PatchLengths(patches);
    uint32_t whole_length = static_cast<uint32_t>(whole.size());
    RecordOut written(choice, framing);
    package::PackageOut& out = written.out;
    package::WriteChoiceHead(out, name_, times_, made, current_in_, versions, old_names, lengths,
                             whole_length, coding_.lzma);
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
