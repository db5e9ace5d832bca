#include "apply/installer.h"

#include <vector>

#include "apply/entry_reader.h"
#include "apply/staging.h"

namespace {

// Records why the install stops, with the OS's error of the step that failed.
bool Fail(InstallFailure& failure, const char16_t* step, const WString& path) {
  failure.os_error = platform::LastErrorCode();
  failure.step = step;
  failure.path = path;
  return false;
}

// The same for a step that fails without one certain OS error (a check
// refused, or several operations where the last error may belong to a
// harmless probe): none is claimed.
bool Refuse(InstallFailure& failure, const char16_t* step, const WString& path) {
  Fail(failure, step, path);
  failure.os_error = 0;
  return false;
}

// One change the commit made, so that it can be undone.
struct CommitStep {
  enum Kind { kFolderCreated, kReplaced, kPlaced } kind;
  const StagedEntry* entry;  // kReplaced, kPlaced
  WString folder;            // kFolderCreated
};

// Stages every record up to the trailer; false at the first bad one.
bool StageAll(platform::File& package, StageState& state, const InstallProgress& progress) {
  int64_t start = package.Tell();
  for (;;) {
    switch (ReadEntry(package, state)) {
      case ReadResult::kContinue:
        if (progress) progress(package.Tell() - start, state.payload_end - start);
        continue;
      case ReadResult::kEnd:
        return true;
      case ReadResult::kFail:
        return false;
    }
  }
}

bool Undo(Staging& staging, const CommitStep& step) {
  const platform::Folder& stage = staging.staging_folder;
  if (step.kind == CommitStep::kFolderCreated) {
    staging.folders.erase(step.folder);  // not held while it goes
    const platform::Folder* parent = HeldFolder(staging, ParentOf(step.folder));
    return parent && platform::RemoveSubfolder(*parent, LastComponent(step.folder));
  }
  const StagedEntry& entry = *step.entry;
  const platform::Folder* parent = HeldFolder(staging, ParentOf(entry.name));
  if (!parent) return false;
  WString leaf = LastComponent(entry.name);
  return step.kind == CommitStep::kReplaced
             ? platform::MoveFileBetween(stage, entry.backup, *parent, leaf, true)
             : platform::MoveFileBetween(*parent, leaf, stage, entry.staged, false);
}

// Undoes `steps`, last first; false when one of them could not be undone.
bool Rollback(Staging& staging, const std::vector<CommitStep>& steps) {
  bool ok = true;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    if (!Undo(staging, *step)) ok = false;
  }
  return ok;
}

// Creates the folders on the entry's way that are missing; each is held from then on.
bool CreateFoldersFor(Staging& staging, const StagedEntry& entry, std::vector<CommitStep>& steps) {
  for (const WString& name : FoldersOf(entry.name)) {
    if (HeldFolder(staging, name)) continue;
    const platform::Folder* parent = HeldFolder(staging, ParentOf(name));
    if (!parent) return false;
    platform::Folder made = platform::CreateSubfolder(*parent, LastComponent(name), false);
    if (!made) return false;
    staging.folders.emplace(name, std::move(made));
    steps.push_back({CommitStep::kFolderCreated, nullptr, name});
  }
  return true;
}

// Moves one staged file into place through the held folders.
bool Place(Staging& staging, const StagedEntry& entry) {
  const platform::Folder* parent = HeldFolder(staging, ParentOf(entry.name));
  if (!parent) return false;
  WString leaf = LastComponent(entry.name);
  const platform::Folder& stage = staging.staging_folder;
  return entry.existed ? platform::ReplaceFileIn(*parent, leaf, stage, entry.staged, entry.backup)
                       : platform::MoveFileBetween(stage, entry.staged, *parent, leaf, false);
}

// Moves every staged file into place, in package order, and ends the
// journal; every step done is in `steps`.
bool Commit(Staging& staging, std::vector<CommitStep>& steps, InstallFailure& failure) {
  for (const StagedEntry& entry : staging.entries) {
    if (!CreateFoldersFor(staging, entry, steps)) {
      return Fail(failure, u"creating a folder for", entry.target);
    }
    if (!Place(staging, entry)) {
      return Fail(failure, entry.existed ? u"replacing" : u"placing", entry.target);
    }
    steps.push_back({entry.existed ? CommitStep::kReplaced : CommitStep::kPlaced, &entry, {}});
  }
  return RemoveJournal(staging) || Fail(failure, u"ending the journal in", staging.folder);
}

// Stages every record and writes the journal, everything on disk.
bool Stage(platform::File& package, StageState& state, const InstallProgress& progress,
           InstallFailure& failure) {
  if (!StageAll(package, state, progress)) {
    // A damaged record and a file that cannot be written end here alike.
    const std::vector<StagedEntry>& entries = state.staging.entries;
    return Refuse(failure,
                  state.fault ? state.fault : u"staging (a damaged record or a refusing target)",
                  entries.empty() ? state.staging.root : entries.back().target);
  }
  if (!WriteJournal(state.staging)) {
    return Fail(failure, u"writing the journal in", state.staging.folder);
  }
  if (platform::kHasFileSystemSync && !platform::SyncFileSystem(state.staging.folder)) {
    return Fail(failure, u"syncing", state.staging.folder);
  }
  return true;
}

// Stages and commits; false with every change undone, or kept for the next
// run's recovery where even the undo failed.
bool StageAndCommit(platform::File& package, int64_t payload_end, Staging& plan,
                    const InstallProgress& progress, InstallFailure& failure) {
  if (!CreateStagingFolder(plan)) return Fail(failure, u"creating", plan.folder);
  StageState state{std::move(plan), {}, payload_end};
  std::vector<CommitStep> steps;
  if (Stage(package, state, progress, failure) && Commit(state.staging, steps, failure)) {
    // The old files go with the staging folder; a failure to sync now loses nothing.
    if (platform::kHasFileSystemSync) platform::SyncFileSystem(state.staging.root);
    RemoveStagingFolder(state.staging);
    return true;
  }
  if (Rollback(state.staging, steps)) RemoveStagingFolder(state.staging);
  return false;
}

}  // namespace

bool InstallPackage(platform::File& package, int64_t payload_end, const WString& root,
                    const InstallProgress& progress, InstallFailure* failure) {
  InstallFailure ignored;
  InstallFailure& cause = failure ? *failure : ignored;
  std::optional<Staging> plan = PlanStaging(root);
  if (!plan) return Fail(cause, u"opening (or the path is too long)", root);
  // A second copy of the update must not undo or cross this one's install.
  platform::FolderLock* lock = platform::LockFolder(plan->root_folder);
  if (!lock) return Fail(cause, u"another install holds", root);
  bool ok = (RecoverInterruptedInstall(*plan) ||
             Refuse(cause,
                    u"a staging folder not this user's alone, or an earlier install "
                    u"that cannot be undone, in",
                    plan->folder)) &&
            StageAndCommit(package, payload_end, *plan, progress, cause);
  platform::UnlockFolder(lock);
  return ok;
}
