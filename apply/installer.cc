#include "apply/installer.h"

#include <algorithm>
#include <vector>

#include "apply/journal.h"
#include "apply/record_stager.h"
#include "apply/staging.h"
#include "package/record_reader.h"

namespace updater::apply {
namespace {

// One change the commit made, so that it can be undone.
struct CommitStep {
  enum Kind { kFolderCreated, kReplaced, kPlaced, kRemoved } kind;
  const StagedEntry* entry;  // kReplaced, kPlaced, kRemoved
  WString folder;            // kFolderCreated
};

// Stages every record up to the trailer; the first failure ends it.
Failure StageAll(platform::File& package, int64_t payload_end, Staging& staging,
                 const InstallProgress& progress) {
  int64_t start = package.Tell();
  package::RecordReader reader(package, payload_end, staging.root);
  for (package::Record record; reader.Next(record);) {
    Failure failure = StageRecord(package, reader, record, staging);
    if (failure.failed()) return failure;
    if (progress) progress(package.Tell() - start, payload_end - start);
  }
  staging.report.releases = reader.releases();
  if (reader.failure().failed()) return reader.failure();
  return CheckFoldersMovedAside(staging);
}

platform::Status Undo(Staging& staging, const CommitStep& step) {
  const platform::Folder& stage = staging.staging_folder;
  if (step.kind == CommitStep::kFolderCreated) {
    staging.folders.Release(step.folder);  // not held while it goes
    platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(step.folder);
    if (!parent) return parent.status();
    return platform::RemoveSubfolder(**parent, package::LastComponent(step.folder));
  }
  const StagedEntry& entry = *step.entry;
  platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(entry.name);
  if (!parent) return parent.status();
  WString leaf = package::LastComponent(entry.name);
  if (step.kind == CommitStep::kPlaced) {  // only the file placed, never one put in its stead
    return platform::MoveKnownFile(**parent, leaf, stage, entry.staged, entry.new_id);
  }
  if (entry.folder)
    return platform::MoveKnownFolder(stage, entry.backup, **parent, leaf, entry.old_id);
  platform::Status back = platform::MoveFileBetween(stage, entry.backup, **parent, leaf,
                                                    step.kind == CommitStep::kReplaced);
  // A read-only file is read-only again.
  if (back && entry.read_only) back = platform::SetReadOnlyIn(**parent, leaf, entry.old_id, true);
  return back;
}

// Undoes `steps`, last first, each as far as it can be; the first step that
// could not be undone gives its OS error. The journal still describes the
// install then, and the next run's recovery tries again and names the file.
platform::Status Rollback(Staging& staging, const std::vector<CommitStep>& steps) {
  platform::Status first;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    platform::Status undone = Undo(staging, *step);
    if (first) first = undone;
  }
  return first;
}

// Creates the folders on the entry's way that are missing; each is held from then on.
Failure CreateFoldersFor(Staging& staging, const StagedEntry& entry,
                         std::vector<CommitStep>& steps) {
  for (const WString& name : package::FoldersOf(entry.name)) {
    if (staging.folders.Get(name)) continue;
    platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(name);
    if (!parent) return Fail(Cause::kCreateFolder, entry.target, parent.status());
    platform::Result<platform::Folder> made =
        platform::CreateSubfolder(**parent, package::LastComponent(name), false);
    if (!made) return Fail(Cause::kCreateFolder, entry.target, made.status());
    staging.folders.Hold(name, std::move(*made));
    steps.push_back({CommitStep::kFolderCreated, nullptr, name});
  }
  return {};
}

// Success when `folder` (the entry `name`) holds nothing; else the first
// item it holds, as an entry name, in `inside`.
platform::Status EmptyFolder(const platform::Folder& folder, const WString& name, WString& inside) {
  platform::Result<std::vector<platform::FolderItem>> items = platform::ListFolder(folder);
  if (!items) return items.status();
  if (items->empty()) return {};
  inside = name + u"\\" + items->front().name;
  return platform::Status::Refused();
}

// Moves the folder of `entry`, which a file replaces, into staging as it
// is: the very folder staging found, and only while it is empty (what it
// held went aside before it, each file a removal). Whatever is in it now
// is named in `inside`, and it stays. `in_staging` tells where the folder
// is when it returns, for the rollback.
platform::Status MoveFolderAside(Staging& staging, const StagedEntry& entry, WString& inside,
                                 bool& in_staging) {
  platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(entry.name);
  if (!parent) return parent.status();
  WString leaf = package::LastComponent(entry.name);
  // Checked while it is still held: where its name leads elsewhere now (it
  // was renamed away, another folder or a link put there), it stays held,
  // and the rollback puts the files moved out of it back into it.
  platform::Result<platform::Folder> folder = platform::OpenSubfolder(**parent, leaf);
  platform::Result<platform::FileId> id =
      folder ? platform::FolderId(*folder) : platform::Result<platform::FileId>(folder.status());
  if (!id) return id.status();
  if (!(*id == entry.old_id)) return platform::Status::Refused();
  platform::Status empty = EmptyFolder(*folder, entry.name, inside);
  folder->Close();
  if (!empty) return empty;
  // Not held while it moves; reopened later only where it is still this folder.
  staging.folders.ReleaseFrom(entry.name);
  const platform::Folder& stage = staging.staging_folder;
  platform::Status moved =
      platform::MoveKnownFolder(**parent, leaf, stage, entry.backup, entry.old_id);
  if (!moved) return moved;
  in_staging = true;
  // A file put in it between the look and the move goes back with it.
  platform::Result<platform::Folder> arrived = platform::OpenSubfolder(stage, entry.backup);
  empty = arrived ? EmptyFolder(*arrived, entry.name, inside) : arrived.status();
  if (arrived) arrived->Close();
  if (!empty) {
    in_staging = !platform::MoveKnownFolder(stage, entry.backup, **parent, leaf, entry.old_id);
  }
  return empty;
}

// Moves one staged file into place through the held folders.
platform::Status Place(Staging& staging, const StagedEntry& entry) {
  platform::Result<const platform::Folder*> held = staging.folders.ParentOf(entry.name);
  if (!held) return held.status();
  const platform::Folder& parent = **held;
  WString leaf = package::LastComponent(entry.name);
  const platform::Folder& stage = staging.staging_folder;
  // A read-only file (Windows) loses the attribute first, through a handle
  // checked to be the file, and gets it back where it stays.
  platform::Status placed = entry.read_only
                                ? platform::SetReadOnlyIn(parent, leaf, entry.old_id, false)
                                : platform::Status();
  if (!placed) return placed;
  // A removal: the very file checked goes into staging as N.old, kept
  // until the end; anything put at its name since stays, and fails it.
  // A replacement: the old file becomes N.old in staging and N.new takes its
  // name, in one step where the system has one.
  if (entry.removal || entry.existed) {
    placed = entry.removal
                 ? platform::MoveKnownFile(parent, leaf, stage, entry.backup, entry.old_id)
                 : platform::ReplaceFileIn(parent, leaf, stage, entry.staged, entry.backup);
    if (!placed && entry.read_only) (void)platform::SetReadOnlyIn(parent, leaf, entry.old_id, true);
    return placed;
  }
  // An addition: N.new takes the name where nothing was, with the access
  // the folder gives new files and nothing of the private staging folder's.
  return platform::PlaceNewFile(stage, entry.staged, parent, leaf);
}

// Removes each folder removed files leave empty; one that still holds
// anything (a player's own files, a file kept) stays, and so does one that
// cannot go.
void RemoveEmptiedFolders(Staging& staging) {
  for (const WString& folder : staging.gone_folders) {
    staging.folders.Release(folder);  // not held while it goes
    platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(folder);
    if (parent) (void)platform::RemoveSubfolder(**parent, package::LastComponent(folder));
  }
}

// Makes the commit step of `entry`: moves its staged file into place, or
// its old file (or folder) aside; on failure, what to tell the player.
Failure CommitEntry(Staging& staging, const StagedEntry& entry, std::vector<CommitStep>& steps) {
  Failure failure = entry.removal ? Failure() : CreateFoldersFor(staging, entry, steps);
  if (failure.failed()) return failure;
  WString inside;
  bool in_staging = false;
  platform::Status placed =
      entry.folder ? MoveFolderAside(staging, entry, inside, in_staging) : Place(staging, entry);
  CommitStep::Kind kind = entry.removal   ? CommitStep::kRemoved
                          : entry.existed ? CommitStep::kReplaced
                                          : CommitStep::kPlaced;
  // A folder still in staging, even where the step failed, is the rollback's to put back.
  if (entry.folder ? in_staging : placed.ok()) steps.push_back({kind, &entry, {}});
  if (!inside.empty()) return Fail(Cause::kKeptInReplacedFolder, TargetOf(staging, inside));
  if (!placed) {
    Cause cause = kind == CommitStep::kPlaced ? Cause::kPlace : Cause::kReplace;
    return Fail(entry.removal ? Cause::kRemove : cause, entry.target, placed);
  }
  return {};
}

// Moves every removed file aside, then every folder a file replaces
// (deepest first, each emptied by then), then every staged file into place
// in package order; ends the journal, and then removes the folders left
// empty. Every step that a rollback undoes is in `steps`.
Failure Commit(Staging& staging, std::vector<CommitStep>& steps) {
  // On disk now: the game folder as it was; in staging every N.new and the
  // journal, all synced. A cut here is undone by the next run.
  std::vector<const StagedEntry*> order;
  for (const StagedEntry& entry : staging.entries) {
    if (entry.removal && !entry.folder) order.push_back(&entry);
  }
  // Staging adds the folders inside such a folder after it: last first is
  // deepest first.
  for (auto entry = staging.entries.rbegin(); entry != staging.entries.rend(); ++entry) {
    if (entry->folder) order.push_back(&*entry);
  }
  for (const StagedEntry& entry : staging.entries) {
    if (!entry.removal) order.push_back(&entry);
  }
  for (const StagedEntry* entry : order) {
    Failure failure = CommitEntry(staging, *entry, steps);
    if (failure.failed()) return failure;
    // On disk now: the steps so far made, each old file (or folder) as N.old
    // in staging; the rest as they were. The journal names them all.
  }
  // On disk now: every new file in place, every removed and replaced file
  // as N.old in staging. Until the journal goes a cut is still undone by the
  // next run; after it, the install stands.
  platform::Status ended = RemoveJournal(staging);
  if (!ended) return Fail(Cause::kEndJournal, staging.folder, ended);
  // Only now, with nothing left to roll back, do the folders the removals
  // emptied go: none is ever made again, with another owner or access.
  RemoveEmptiedFolders(staging);
  return {};
}

// Stages every record and writes the journal, everything on disk.
Failure Stage(platform::File& package, int64_t payload_end, Staging& staging,
              const InstallProgress& progress) {
  Failure failure = StageAll(package, payload_end, staging, progress);
  platform::Status synced;
  {
    UPDATER_PHASE(staging.report.phases, kSync);
    // Every staged file closed, whatever happened: only then can staging go.
    synced = staging.sync->Finish();
  }
  if (failure.failed()) return failure;
  if (!synced) return Fail(Cause::kSync, staging.folder, synced);
  UPDATER_PHASE(staging.report.phases, kJournal);
  // On disk now: the game folder untouched; in staging an N.new for each
  // file to write, with its times. No journal yet: a cut here leaves only
  // staging, which the next run removes.
  platform::Status journal = WriteJournal(staging);
  if (!journal) return Fail(Cause::kWriteJournal, staging.folder, journal);
  if (platform::kHasFileSystemSync) {
    platform::Status synced = platform::SyncFileSystem(staging.staging_folder);
    if (!synced) return Fail(Cause::kSync, staging.folder, synced);
  }
  return {};
}

// Stages and commits; on failure every change is undone, or kept for the
// next run's recovery where even the undo failed.
Failure StageAndCommit(platform::File& package, int64_t payload_end, Staging& staging,
                       const InstallProgress& progress, InstallReport* report) {
  Failure failure = CreateStagingFolder(staging);
  if (failure.failed()) return failure;
  std::vector<CommitStep> steps;
  failure = Stage(package, payload_end, staging, progress);
  if (!failure.failed()) {
    UPDATER_PHASE(staging.report.phases, kCommit);
    failure = Commit(staging, steps);
  }
  if (!failure.failed()) {
    {
      UPDATER_PHASE(staging.report.phases, kCleanUp);
      // On disk now: the update installed, the journal gone. The old files
      // go with the staging folder; a failure to sync now loses nothing.
      if (platform::kHasFileSystemSync) (void)platform::SyncFileSystem(staging.folders.root());
      (void)RemoveStagingFolder(staging);
    }
    for (const StagedEntry& entry : staging.entries) {
      // What went aside to make room counts with the file that took it.
      if (!entry.aside) ++(entry.removal ? staging.report.removed : staging.report.written);
    }
    if (report) *report = std::move(staging.report);
    return {};
  }
  // Every step undone puts the game folder back as it was, and staging goes.
  // A step that cannot be undone keeps staging and its journal for the next
  // run's recovery, which names what is still in the way; the player is told
  // why the install failed.
  if (Rollback(staging, steps)) (void)RemoveStagingFolder(staging);
  return failure;
}

}  // namespace

Failure InstallPackage(platform::File& package, int64_t payload_end, const WString& root,
                       const WString& lock_name, const InstallProgress& progress,
                       InstallReport* report) {
  Staging staging;
  platform::Status planned = PlanStaging(root, staging);
  if (!planned) return Fail(Cause::kGameFolderUnusable, root, planned);
  // A second copy of the update must not undo or cross this one's install.
  platform::Result<platform::FolderLock> lock =
      platform::LockFolder(staging.folders.root(), lock_name);
  if (!lock) {
    bool held = platform::IsHeldElsewhere(lock.error());
    return Fail(held ? Cause::kLockHeld : Cause::kLockFailed, root, lock.status());
  }
  Failure failure = RecoverInterruptedInstall(staging);
  if (failure.failed()) return failure;
  return StageAndCommit(package, payload_end, staging, progress, report);
}

}  // namespace updater::apply
