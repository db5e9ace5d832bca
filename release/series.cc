#include "release/series.h"

#include <algorithm>
#include <map>
#include <set>

#include "package/entry_name.h"
#include "package/record_reader.h"

namespace updater::release {
namespace {

// Adds the version of `size` bytes with `hash` to `versions` as one of
// `release`'s (a bit), or the release to a version already there.
void AddVersion(std::vector<package::Version>& versions, size_t release, uint64_t size,
                const uint8_t (&hash)[32]) {
  for (package::Version& v : versions) {
    if (v.size == size && std::equal(hash, hash + 32, v.hash)) {
      v.releases |= 1u << release;
      return;
    }
  }
  package::Version version;
  version.size = size;
  std::copy(hash, hash + 32, version.hash);
  version.releases = 1u << release;
  versions.push_back(version);
}

// Adds `from`, the old version of release `release` with `hash`, to
// `versions`, or the release to the version with its name and bytes.
void AddOldVersion(std::vector<OldVersion>& versions, size_t release, const pack::TreeFile& from,
                   const uint8_t* hash) {
  auto same = std::find_if(versions.begin(), versions.end(), [&](const OldVersion& v) {
    return v.name == from.name && std::equal(hash, hash + 32, v.version.hash);
  });
  if (same != versions.end()) {
    same->version.releases |= 1u << release;
    return;
  }
  OldVersion version{{}, from.name, from.path};
  version.version.size = static_cast<uint64_t>(from.size);
  std::copy(hash, hash + 32, version.version.hash);
  version.version.releases = 1u << release;
  versions.push_back(std::move(version));
}

}  // namespace

PlanFault PlanRemovals(Series& series) {
  std::set<WString> names, folded, warned;
  for (const pack::TreeFile& f : series.files) {
    names.insert(f.name);
    folded.insert(package::FoldCase(f.name));
  }
  std::map<WString, size_t> removal_of;  // the index of each name's removal
  for (size_t release = 0; release < series.olds.size(); ++release) {
    for (const pack::TreeFile& f : series.olds[release].files) {
      if (names.count(f.name)) continue;
      if (std::find(series.gone.begin(), series.gone.end(), f.name) == series.gone.end()) {
        series.gone.push_back(f.name);
      }
      if (series.keep_removed) continue;
      if (folded.count(package::FoldCase(f.name))) {
        if (warned.insert(f.name).second) series.kept_under_other_case.push_back(f.name);
        continue;
      }
      uint8_t hash[32];
      platform::Status hashed = HashTreeFile(f.path, hash);
      if (!hashed) return {Fail(Cause::kSourceUnreadable, f.path, hashed), release};
      auto [at, added] = removal_of.emplace(f.name, series.removals.size());
      if (added) series.removals.push_back({f.name, {}, 0});
      AddVersion(series.removals[at->second].versions, release, static_cast<uint64_t>(f.size),
                 hash);
    }
  }
  for (pack::BuildOptions::Removal& removal : series.removals) {
    uint32_t held = 0;
    for (const package::Version& v : removal.versions) held |= v.releases;
    removal.current_in = package::AllReleases(series.olds.size()) & ~held;  // without the file
  }
  return {};
}

std::vector<WString> ReleaseLabels(const Series& series) {
  std::vector<WString> labels;
  bool named =
      series.olds.size() > 1 || std::any_of(series.olds.begin(), series.olds.end(),
                                            [](const OldTree& old) { return !old.label.empty(); });
  if (named) {
    for (const OldTree& old : series.olds) labels.push_back(old.label);
  }
  return labels;
}

bool ChangedSinceOld(const Series& series, const platform::Folder& folder, const WString& leaf,
                     const WString& path) {
  std::optional<WString> name = platform::RelativePathTo(series.source, path);
  for (const OldTree& old : series.olds) {
    std::optional<WString> at = name ? platform::AppendPath(old.root, *name) : std::nullopt;
    if (!at || !pack::SameFileBytes(folder, leaf, *at)) return true;
  }
  return false;
}

RecordPlanner::RecordPlanner(const Series& series) : series_(series) {
  for (const OldTree& old : series.olds) olds_.emplace_back(old.files, series.files);
}

FileSource RecordPlanner::SourceOf(const WString& name, const WString& path) {
  FileSource source;
  int64_t size = std::move(platform::FileSize(path)).value_or(0);
  uint8_t digest[32] = {};
  bool several = olds_.size() > 1 || series_.whole_fallback;
  bool hashed = several && HashTreeFile(path, digest).ok();
  for (size_t release = 0; release < olds_.size(); ++release) {
    const pack::TreeFile* from = olds_[release].SourceFor(name, path, size);
    if (!from) return {};  // new since this release: whole
    const uint8_t* hash = several ? olds_[release].HashOf(from) : digest;
    if (hashed && from->name == name && from->size == size && std::equal(hash, hash + 32, digest)) {
      source.current_in |= 1u << release;  // the release has the new file already
      continue;
    }
    AddOldVersion(source.versions, release, *from, hash);
  }
  if (source.versions.empty()) return {};
  bool one = source.versions.size() == 1 && source.current_in == 0 && !series_.whole_fallback;
  source.kind = one ? FileSource::kDelta : FileSource::kChoice;
  return source;
}

std::unique_ptr<package::RecordJob> RecordPlanner::JobFor(FileSource source, const WString& name,
                                                          const WString& path,
                                                          const EntryTimes& times,
                                                          std::atomic<int64_t>* progress) {
  switch (source.kind) {
    case FileSource::kWhole:
      return nullptr;
    case FileSource::kDelta:
      return DeltaRecordJob(name, path, source.versions[0].name, source.versions[0].path, times,
                            progress, series_.coding);
    case FileSource::kChoice:
      break;
  }
  return ChoiceRecordJob(name, path, times, std::move(source.versions), source.current_in,
                         series_.whole_fallback, progress, series_.coding);
}

CarriedRemovals::CarriedRemovals(std::vector<pack::BuildOptions::Removal>& removals) {
  for (pack::BuildOptions::Removal& removal : removals) {
    // A removal of any of several versions ("rmvs") stays a record.
    if (removal.versions.size() == 1 && removal.current_in == 0) open_[removal.name] = &removal;
  }
}

std::atomic<bool>* CarriedRemovals::For(const FileSource& source, const WString& name) {
  if (source.kind != FileSource::kDelta) return nullptr;
  const OldVersion& old = source.versions[0];
  auto removal = open_.find(old.name);
  if (old.name == name || removal == open_.end()) return nullptr;
  // The removal then checks the file the delta was made from (its size and
  // SHA-256 in the delta's header): the one the removal was planned from,
  // unless the old tree changed under the build.
  if (removal->second->versions[0].size != old.version.size) return nullptr;
  flags_.emplace_back(false);
  removal->second->carried = &flags_.back();
  open_.erase(removal);
  return &flags_.back();
}

}  // namespace updater::release
