#include "apply/installer.h"

#include <vector>

#include "apply/entry_reader.h"
#include "apply/staging.h"

namespace {

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
bool Commit(const Staging& staging, std::vector<CommitStep>& steps) {
  for (const StagedEntry& entry : staging.entries) {
    if (!CreateFoldersFor(staging, entry, steps)) return false;
    if (entry.existed) {
      if (!platform::ReplaceFileKeepingBackup(entry.target, entry.staged, entry.backup)) {
        return false;
      }
      steps.push_back({CommitStep::kReplaced, &entry, {}});
    } else {
      if (!platform::RenameFile(entry.staged, entry.target)) return false;
      steps.push_back({CommitStep::kPlaced, &entry, {}});
    }
  }
  return RemoveJournal(staging);
}

// Stages and commits; false with every change undone, or kept for the next
// run's recovery where even the undo failed.
bool StageAndCommit(platform::File& package, int64_t payload_end, const Staging& plan,
                    const InstallProgress& progress) {
  std::optional<WString> resolved_root = platform::ResolvedPath(plan.root);
  if (!resolved_root || !platform::MakePrivateDirectory(plan.folder)) return false;
  StageState state{plan, *resolved_root, {}, payload_end};
  bool staged = StageAll(package, state, progress) && WriteJournal(state.staging) &&
                (!platform::kHasFileSystemSync || platform::SyncFileSystem(plan.folder));
  std::vector<CommitStep> steps;
  if (staged && Commit(state.staging, steps)) {
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
                    const InstallProgress& progress) {
  std::optional<Staging> plan = PlanStaging(root);
  // A second copy of the update must not undo or cross this one's install.
  platform::FolderLock* lock = plan ? platform::LockFolder(root) : nullptr;
  bool ok = lock && RecoverInterruptedInstall(root) &&
            StageAndCommit(package, payload_end, *plan, progress);
  platform::UnlockFolder(lock);
  return ok;
}
