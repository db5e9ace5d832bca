// The release planning of an update made from earlier releases: which files
// go in (changed since an old release), how each is made (whole, a patch
// from one old version, or patches from several), and which files the
// update removes. It reads the trees and returns a plan and its warnings;
// it prints nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "pack/package_builder.h"
#include "package/failure.h"
#include "package/parallel_deflate.h"
#include "platform/platform.h"
#include "release/old_release.h"
#include "release/record_jobs.h"

namespace updater::release {

// An old release an update is made from, its root resolved.
struct OldTree {
  WString root;
  WString label;  // empty: none
  std::vector<pack::TreeFile> files;
};

// What an update from old releases is, decided before it is written.
struct Series {
  WString source;                     // the new release's root, resolved
  std::vector<pack::TreeFile> files;  // the new release's files
  std::vector<OldTree> olds;
  bool keep_removed = false;    // leave the files the new release lacks
  bool whole_fallback = false;  // carry each patched file whole too
  Coding coding;                // of the whole files
  // Planned by PlanRemovals: the files old releases have and the new one
  // lacks (each once, in the order met), those of them the update removes,
  // and those it leaves because the new release has them under another
  // case (on Windows the very file).
  std::vector<WString> gone;
  std::vector<pack::BuildOptions::Removal> removals;
  std::vector<WString> kept_under_other_case;
};

// A failure of the planning, and the old release whose file it met.
struct PlanFault {
  Failure failure;
  size_t release = 0;
};

// Plans the series' removals: each gone file with the versions the old
// releases had (by size and SHA-256), and the releases with no file there.
PlanFault PlanRemovals(Series& series);

// The labels an update names its releases by: all of them where there are
// several or any has a label, else none.
std::vector<WString> ReleaseLabels(const Series& series);

// Whether the file `leaf` of `folder` (at `path`) goes into the update: not
// when every old release has the same bytes at its name.
bool ChangedSinceOld(const Series& series, const platform::Folder& folder, const WString& leaf,
                     const WString& path);

// How a changed file is made from the old releases.
struct FileSource {
  // Whole: it is new since one of them. A delta: one old version for all,
  // none of them holding the new file already. Otherwise a choice of the
  // versions (an "alts" record).
  enum Kind { kWhole, kDelta, kChoice } kind = kWhole;
  std::vector<OldVersion> versions;
  uint32_t current_in = 0;  // the releases that hold the new file already
};

// Chooses, for every changed file, the old versions it is patched from.
class RecordPlanner {
 public:
  explicit RecordPlanner(const Series& series);

  // How the changed file `name` (at `path`) is made.
  FileSource SourceOf(const WString& name, const WString& path);

  // The job that makes its record, made as `source` says; none where it
  // goes whole. `progress`, where given, is told its bytes as they are encoded.
  std::unique_ptr<package::RecordJob> JobFor(FileSource source, const WString& name,
                                             const WString& path, const EntryTimes& times,
                                             std::atomic<int64_t>* progress);

 private:
  const Series& series_;
  std::vector<OldRelease> olds_;
};

// The removals deltas say for themselves: where a file's one old version is
// read at a name the update removes (the file moved, or renamed and
// edited), its delta says that removal (a few bits) instead of a record of
// its own (a name and a SHA-256 again). Each removal goes with the first
// such delta only.
class CarriedRemovals {
 public:
  // Of `removals`, which must stay where they are while this lives.
  explicit CarriedRemovals(std::vector<pack::BuildOptions::Removal>& removals);

  // The flag a delta of `name` made as `source` says sets once its record
  // says the removal of its old name (the removal is then not written); none
  // where it has none to say.
  std::atomic<bool>* For(const FileSource& source, const WString& name);

 private:
  std::map<WString, pack::BuildOptions::Removal*> open_;  // not yet with a delta
  std::deque<std::atomic<bool>> flags_;
};

}  // namespace updater::release
