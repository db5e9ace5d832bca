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

bool Undo(const CommitStep& step) {
  switch (step.kind) {
    case CommitStep::kFolderCreated:
      return platform::RemoveEmptyDirectory(step.folder);
    case CommitStep::kReplaced:
      return platform::RenameFileReplacing(step.entry->backup, step.entry->target);
    case CommitStep::kPlaced:
      return platform::RenameFile(step.entry->target, step.entry->staged);
  }
  return false;
}

// Undoes `steps`, last first; false when one of them could not be undone.
bool Rollback(const std::vector<CommitStep>& steps) {
  bool ok = true;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    if (!Undo(*step)) ok = false;
  }
  return ok;
}

bool CreateFoldersFor(const Staging& staging, const StagedEntry& entry,
                      std::vector<CommitStep>& steps) {
  for (const WString& name : FoldersOf(entry.name)) {
    std::optional<WString> folder = platform::AppendPath(staging.root, name);
    if (!folder) return false;
    if (platform::IsDirectory(*folder)) continue;
    if (!platform::MakeDirectory(*folder)) return false;
    steps.push_back({CommitStep::kFolderCreated, nullptr, *folder});
  }
  return true;
}

// Moves every staged file into place, in package order, and ends the
// journal; every step done is in `steps`.
bool Commit(const Staging& staging, std::vector<CommitStep>& steps, InstallFailure& failure) {
  for (const StagedEntry& entry : staging.entries) {
    if (!CreateFoldersFor(staging, entry, steps)) {
      return Fail(failure, u"creating a folder for", entry.target);
    }
    if (entry.existed) {
      if (!platform::ReplaceFileKeepingBackup(entry.target, entry.staged, entry.backup)) {
        return Fail(failure, u"replacing", entry.target);
      }
      steps.push_back({CommitStep::kReplaced, &entry, {}});
    } else {
      if (!platform::RenameFile(entry.staged, entry.target)) {
        return Fail(failure, u"placing", entry.target);
      }
      steps.push_back({CommitStep::kPlaced, &entry, {}});
    }
  }
  return RemoveJournal(staging) || Fail(failure, u"ending the journal in", staging.folder);
}

// Stages every record and writes the journal, everything on disk.
bool Stage(platform::File& package, StageState& state, const InstallProgress& progress,
           InstallFailure& failure) {
  if (!StageAll(package, state, progress)) {
    // A damaged record and a file that cannot be written end here alike.
    const std::vector<StagedEntry>& entries = state.staging.entries;
    return Refuse(failure, u"staging (a damaged record or a refusing target)",
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
bool StageAndCommit(platform::File& package, int64_t payload_end, const Staging& plan,
                    const InstallProgress& progress, InstallFailure& failure) {
  std::optional<WString> resolved_root = platform::ResolvedPath(plan.root);
  if (!resolved_root) return Fail(failure, u"resolving", plan.root);
  if (!platform::MakePrivateDirectory(plan.folder)) return Fail(failure, u"creating", plan.folder);
  StageState state{plan, *resolved_root, {}, payload_end};
  std::vector<CommitStep> steps;
  if (Stage(package, state, progress, failure) && Commit(state.staging, steps, failure)) {
    // The old files go with the staging folder; a failure to sync now loses nothing.
    if (platform::kHasFileSystemSync) platform::SyncFileSystem(plan.root);
    RemoveStagingFolder(plan.folder);
    return true;
  }
  if (Rollback(steps)) RemoveStagingFolder(plan.folder);
  return false;
}

}  // namespace

bool InstallPackage(platform::File& package, int64_t payload_end, const WString& root,
                    const InstallProgress& progress, InstallFailure* failure) {
  InstallFailure ignored;
  InstallFailure& cause = failure ? *failure : ignored;
  std::optional<Staging> plan = PlanStaging(root);
  if (!plan) return Fail(cause, u"the path is too long:", root);
  // A second copy of the update must not undo or cross this one's install.
  platform::FolderLock* lock = platform::LockFolder(root);
  if (!lock) return Fail(cause, u"another install holds", root);
  bool ok = (RecoverInterruptedInstall(root) ||
             Refuse(cause,
                    u"a staging folder not this user's alone, or an earlier install "
                    u"that cannot be undone, in",
                    plan->folder)) &&
            StageAndCommit(package, payload_end, *plan, progress, cause);
  platform::UnlockFolder(lock);
  return ok;
}
