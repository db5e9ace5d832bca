#include "apply/staging.h"

#include "apply/journal.h"
#include "package/entry_name.h"
#include "package/format.h"

namespace updater::apply {

namespace {

// True when `name` is an entry's number followed by `suffix` (".new" for
// its new file, ".old" for the old file's backup).
bool IsEntryFile(const WString& name, const char16_t* suffix) {
  size_t digits = name.find_first_not_of(u"0123456789");
  return digits != 0 && digits != WString::npos && name.compare(digits, WString::npos, suffix) == 0;
}

// True when `name` is one an install makes in staging: the journal, or an
// entry's new file or backup.
bool IsStagingName(const WString& name) {
  return name == kJournalName || IsEntryFile(name, u".new") || IsEntryFile(name, u".old");
}

// True when the file `name` of `folder` is the one the journal recorded.
bool IsRecordedFile(const platform::Folder& folder, const WString& name,
                    const platform::FileId& id) {
  platform::Result<platform::FileId> found = platform::FileIdIn(folder, name);
  return found && *found == id;
}

// Puts back one file as the journal recorded it; success when there was
// nothing to put back. A file that is not the one the journal recorded
// stays where it is, and fails it.
platform::Status UndoEntry(Staging& staging, const StagedEntry& e) {
  const platform::Folder& stage = staging.staging_folder;
  platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(e.name);
  WString leaf = package::LastComponent(e.name);
  if (e.folder) {  // a folder a file replaced: back, only the one recorded, over nothing
    if (IsMissingIn(stage, e.backup)) return {};
    if (!parent) return parent.status();
    return platform::MoveKnownFolder(stage, e.backup, **parent, leaf, e.old_id);
  }
  if (e.existed && !IsMissingIn(stage, e.backup)) {
    // The old file is still in staging: back to its place, over the file the
    // install put there (or the old file's own other name, where the cut
    // came inside a replacement), and over nothing else.
    if (!parent) return parent.status();
    if (!IsRecordedFile(stage, e.backup, e.old_id)) return platform::Status::Refused();
    bool occupied = !IsMissingIn(**parent, leaf);
    if (occupied && !IsRecordedFile(**parent, leaf, e.new_id) &&
        !IsRecordedFile(**parent, leaf, e.old_id)) {
      return platform::Status::Refused();
    }
    return platform::MoveFileBetween(stage, e.backup, **parent, leaf, occupied);
  }
  if (e.existed || !IsMissingIn(stage, e.staged)) return {};  // never moved
  if (!parent) return {};  // no folder on its way: it was never placed
  if (IsMissingIn(**parent, leaf)) return {};
  // The new file was placed where none was: back into staging, to go with
  // it, and only that file.
  return platform::MoveKnownFile(**parent, leaf, stage, e.staged, e.new_id);
}

// Puts back what a cut-off install changed, in the reverse of the commit's
// order (placed files, the folders made for them, the folders files
// replaced, shallowest first, and the removed files), moving only what it
// moved, through held folders; what does not match stays. The first step
// that could not be undone is the failure.
Failure UndoFromJournal(Staging& staging) {
  const WString* failed = nullptr;  // the name of the first step that could not be undone
  platform::Status first;
  auto undo = [&](const StagedEntry& e) {
    platform::Status undone = UndoEntry(staging, e);
    if (!undone && first) first = undone, failed = &e.name;
  };
  // A folder a file replaced opens again, for the files that were in it,
  // only where it is the one the journal recorded.
  for (const StagedEntry& e : staging.entries) {
    if (e.folder) staging.folders.Expect(e.name, e.old_id);
  }
  for (auto f = staging.gone_folders.rbegin(); f != staging.gone_folders.rend(); ++f) {
    platform::Status made = staging.folders.Recreate(*f);
    if (!made && first) first = made, failed = &*f;
  }
  for (auto e = staging.entries.rbegin(); e != staging.entries.rend(); ++e) {
    if (!e->removal) undo(*e);
  }
  for (auto f = staging.new_folders.rbegin(); f != staging.new_folders.rend(); ++f) {
    // Only a folder the install made, still empty, and not a link: removal
    // refuses the others, which stay without failing the recovery.
    staging.folders.Release(*f);  // not held while it goes
    if (platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(*f)) {
      (void)platform::RemoveSubfolder(**parent, package::LastComponent(*f));
    }
  }
  for (const StagedEntry& e : staging.entries) {
    if (e.folder) undo(e);  // in staging order: a folder before those it held
  }
  for (auto e = staging.entries.rbegin(); e != staging.entries.rend(); ++e) {
    if (e->removal && !e->folder) undo(*e);
  }
  if (!failed) return {};
  return Fail(Cause::kRecoveryFailed, TargetOf(staging, *failed), first);
}

platform::Status RemoveFolderContents(const platform::Folder& folder) {
  platform::Result<std::vector<platform::FolderItem>> items = platform::ListFolder(folder);
  if (!items) return items.status();
  platform::Status all;
  for (const platform::FolderItem& item : *items) {
    // A folder a file replaced went aside empty: it goes only while it still is.
    platform::Status removed = item.kind == platform::NodeKind::kFolder
                                   ? platform::RemoveSubfolder(folder, item.name)
                                   : platform::RemoveFileIn(folder, item.name);
    if (!removed && all) all = removed;
  }
  return all;
}

}  // namespace

platform::Status PlanStaging(const WString& root, Staging& staging) {
  std::optional<WString> folder = platform::AppendPath(root, package::kStagingFolderName);
  // Room for the longest file name used inside it.
  if (!folder || folder->size() + 16 > kMaxPathUnits) {
    return platform::Status::Error(platform::BadNameError());
  }
  platform::Result<platform::Folder> opened = platform::OpenFolder(root);
  if (!opened) return opened.status();
  staging.folders.HoldRoot(std::move(*opened));
  staging.root = root;
  staging.folder = *folder;
  return {};
}

Failure CreateStagingFolder(Staging& staging) {
  platform::Result<platform::Folder> made = platform::CreateSubfolder(
      staging.folders.root(), package::kStagingFolderName, /*private_only=*/true);
  if (!made) return Fail(Cause::kCreateStaging, staging.folder, made.status());
  platform::Result<bool> ours = platform::IsPrivateFolder(*made);
  if (!ours || !*ours) return Fail(Cause::kStagingNotOurs, staging.folder, ours.status());
  platform::Result<std::vector<platform::FolderItem>> items = platform::ListFolder(*made);
  if (!items) {
    // Ours but unreadable: it goes again (only while empty) and the install fails.
    made->Close();
    (void)platform::RemoveSubfolder(staging.folders.root(), package::kStagingFolderName);
    return Fail(Cause::kCreateStaging, staging.folder, items.status());
  }
  if (!items->empty()) return Fail(Cause::kStagingNotOurs, staging.folder);
  staging.staging_folder = std::move(*made);
  return {};
}

WString TargetOf(const Staging& staging, const WString& name) {
  // Joined as the package's reader joins its targets: ".\\" goes.
  return platform::AppendPath(staging.root, name).value_or(staging.root + u"\\" + name);
}

void AddStagedEntry(Staging& staging, const WString& name, const WString& target) {
  WString number = Decimal(staging.entries.size());
  staging.entries.push_back(StagedEntry{
      name, target, number + u".new", number + u".old", false, false, false, 0, {}, {}});
}

Failure DropCurrentEntry(Staging& staging) {
  staging.entries.pop_back();
  ++staging.report.current;
  return {};
}

StagedEntry* EntryMovingAside(Staging& staging, const WString& name) {
  WString folded = package::FoldCase(name);
  for (StagedEntry& entry : staging.entries) {
    // Folding keeps a name's length: only names of its length are folded.
    if (entry.removal && entry.name.size() == name.size() &&
        package::FoldCase(entry.name) == folded) {
      return &entry;
    }
  }
  return nullptr;
}

Failure RecoverInterruptedInstall(Staging& staging, bool foresee_only) {
  platform::Result<platform::NodeKind> kind =
      platform::KindIn(staging.folders.root(), package::kStagingFolderName);
  if (!kind) return Fail(Cause::kStagingNotOurs, staging.folder, kind.status());
  if (*kind == platform::NodeKind::kMissing) return {};
  // Only a folder this program could have made is read or emptied: never a
  // link, a junction, a file, or a folder another user owns or may change.
  if (*kind != platform::NodeKind::kFolder) return Fail(Cause::kStagingNotOurs, staging.folder);
  platform::Result<platform::Folder> opened =
      platform::OpenSubfolder(staging.folders.root(), package::kStagingFolderName);
  if (!opened) return Fail(Cause::kStagingNotOurs, staging.folder, opened.status());
  staging.staging_folder = std::move(*opened);
  platform::Result<bool> private_folder = platform::IsPrivateFolder(staging.staging_folder);
  if (!private_folder || !*private_folder) {
    return Fail(Cause::kStagingNotOurs, staging.folder, private_folder.status());
  }
  platform::Result<std::vector<platform::FolderItem>> items =
      platform::ListFolder(staging.staging_folder);
  if (!items) return Fail(Cause::kStagingNotOurs, staging.folder, items.status());
  bool journaled = false, backed_up = false;
  for (const platform::FolderItem& item : *items) {
    // A folder renamed to the staging name holds the game's own files.
    if (!IsStagingName(item.name)) return Fail(Cause::kStagingNotOurs, staging.folder);
    journaled = journaled || item.name == kJournalName;
    backed_up = backed_up || IsEntryFile(item.name, u".old");
  }
  // A journal read to its end tells what to undo. Only one that is provably
  // cut off (no end, and no old file moved aside: the commit never started)
  // or missing (the install stood) lets staging go; one that cannot be read,
  // or ends early beside a backup, which only a begun commit makes, keeps it
  // all, the old files' backups with it.
  platform::Result<bool> journal = ReadJournal(staging);
  if (journal && !*journal && journaled && backed_up) journal = platform::Status::Refused();
  if (!journal) {
    return Fail(Cause::kRecoveryFailed, staging.folder + u"\\" + kJournalName, journal.status());
  }
  if (*journal) {
    if (foresee_only) return {};  // a plan's: the entries tell what undoing them changes
    Failure undone = UndoFromJournal(staging);
    if (undone.failed()) return undone;
  }
  staging.entries.clear();
  staging.new_folders.clear();
  staging.gone_folders.clear();
  if (foresee_only) return {};
  platform::Status removed = RemoveStagingFolder(staging);
  if (!removed) return Fail(Cause::kRecoveryFailed, staging.folder, removed);
  return {};
}

void ForeseeRecovery(Staging& staging, bool trusted) {
  // A journal the recovery refused foretells nothing. Of one it trusts, an
  // old file still in staging comes back to its name, and a new one placed
  // where none was goes. A folder a file replaced is left out.
  if (trusted) {
    for (StagedEntry& e : staging.entries) {
      bool back = e.existed && !e.folder && !IsMissingIn(staging.staging_folder, e.backup);
      bool goes = !e.existed && !e.removal && IsMissingIn(staging.staging_folder, e.staged);
      if (back || goes) staging.pending.push_back(std::move(e));
    }
  }
  staging.entries.clear();
  staging.new_folders.clear();
  staging.gone_folders.clear();
}

const StagedEntry* PendingAt(const Staging& staging, const WString& name) {
  // The journal's names are the package's, as the records name them.
  for (const StagedEntry& e : staging.pending) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

platform::Status RemoveStagingFolder(Staging& staging) {
  if (!staging.staging_folder) return platform::Status::Refused();  // none was made or found
  // A scanner or indexer may hold a file for a moment: one more try.
  const platform::Folder& folder = staging.staging_folder;
  platform::Status emptied = RemoveFolderContents(folder);
  if (!emptied) emptied = RemoveFolderContents(folder);
  if (!emptied) return emptied;
  staging.staging_folder.Close();  // not held while it goes
  platform::Status removed =
      platform::RemoveSubfolder(staging.folders.root(), package::kStagingFolderName);
  if (!removed)
    removed = platform::RemoveSubfolder(staging.folders.root(), package::kStagingFolderName);
  return removed;
}

}  // namespace updater::apply
