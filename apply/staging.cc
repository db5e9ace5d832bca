#include "apply/staging.h"

#include <cstring>

#include "package/entry_name.h"
#include "package/format.h"

namespace updater::apply {

namespace {

constexpr char kJournalFileTag[4] = {'f', 'i', 'l', 'e'};
constexpr char kJournalFolderTag[4] = {'f', 'o', 'l', 'd'};
constexpr char kJournalGoneFolderTag[4] = {'r', 'm', 'd', 'r'};
constexpr char kJournalDoneTag[4] = {'d', 'o', 'n', 'e'};
constexpr char16_t kJournalName[] = u"journal";

// The entries and folders a journal lists; none when it is missing or was
// not written to its end (then no file was moved yet).
bool ReadJournal(Staging& staging) {
  platform::Result<platform::File> opened =
      platform::ReadFileIn(staging.staging_folder, kJournalName);
  if (!opened) return false;
  platform::File& journal = *opened;
  for (;;) {
    char tag[4];
    if (journal.Read(tag, sizeof tag) != sizeof tag) return false;
    if (std::memcmp(tag, kJournalDoneTag, 4) == 0) return true;
    uint8_t existed = 0;
    uint64_t ids[4] = {};
    bool is_file = std::memcmp(tag, kJournalFileTag, 4) == 0;
    if (is_file &&
        (journal.Read(&existed, 1) != 1 || journal.Read(ids, sizeof ids) != sizeof ids)) {
      return false;
    }
    std::optional<WString> name = package::ReadEntryName(journal);
    if (!name || !package::IsAcceptableEntryName(*name)) return false;
    if (is_file) {
      AddStagedEntry(staging, *name, staging.root + u"\\" + *name);
      StagedEntry& entry = staging.entries.back();
      entry.existed = existed != 0;
      entry.new_id = platform::FileId{ids[0], ids[1]};
      entry.old_id = platform::FileId{ids[2], ids[3]};
    } else if (std::memcmp(tag, kJournalFolderTag, 4) == 0) {
      staging.new_folders.push_back(*name);
    } else if (std::memcmp(tag, kJournalGoneFolderTag, 4) == 0) {
      staging.gone_folders.push_back(*name);
    } else {
      return false;
    }
  }
}

// True when `name` is one an install makes in staging: the journal, or an
// entry's number followed by ".new" or ".old".
bool IsStagingName(const WString& name) {
  if (name == kJournalName) return true;
  size_t digits = name.find_first_not_of(u"0123456789");
  return digits != 0 && digits != WString::npos &&
         (name.compare(digits, WString::npos, u".new") == 0 ||
          name.compare(digits, WString::npos, u".old") == 0);
}

// True when nothing is at `name` in `folder`.
bool IsMissingIn(const platform::Folder& folder, const WString& name) {
  platform::Result<platform::NodeKind> kind = platform::KindIn(folder, name);
  return kind && *kind == platform::NodeKind::kMissing;
}

// True when the file `name` of `folder` is the one the journal recorded.
bool IsRecordedFile(const platform::Folder& folder, const WString& name,
                    const platform::FileId& id) {
  platform::Result<platform::FileId> found = platform::FileIdIn(folder, name);
  return found && *found == id;
}

// Puts back one file as the journal recorded it; true when there was nothing
// to put back.
bool UndoEntry(Staging& staging, const StagedEntry& e) {
  const platform::Folder& stage = staging.staging_folder;
  const platform::Folder* parent = HeldFolder(staging, ParentOf(e.name));
  WString leaf = LastComponent(e.name);
  if (e.existed && !IsMissingIn(stage, e.backup)) {
    return parent && IsRecordedFile(stage, e.backup, e.old_id) &&
           platform::MoveFileBetween(stage, e.backup, *parent, leaf, true);
  }
  if (e.existed || !IsMissingIn(stage, e.staged)) return true;
  if (!parent) return true;  // no folder on its way: it was never placed
  if (IsMissingIn(*parent, leaf)) return true;
  return IsRecordedFile(*parent, leaf, e.new_id) &&
         platform::MoveFileBetween(*parent, leaf, stage, e.staged, false);
}

// Puts back what a cut-off install changed, last change first, moving only
// the files it placed, through held folders; what does not match stays, and
// gives false.
bool UndoFromJournal(Staging& staging) {
  bool ok = true;
  for (auto f = staging.gone_folders.rbegin(); f != staging.gone_folders.rend(); ++f) {
    if (!RecreateFolder(staging, *f)) ok = false;
  }
  for (auto e = staging.entries.rbegin(); e != staging.entries.rend(); ++e) {
    if (!UndoEntry(staging, *e)) ok = false;
  }
  for (auto f = staging.new_folders.rbegin(); f != staging.new_folders.rend(); ++f) {
    // Only a folder the install made, still empty, and not a link: removal
    // refuses the others.
    ReleaseFolder(staging, *f);  // not held while it goes
    if (const platform::Folder* parent = HeldFolder(staging, ParentOf(*f))) {
      (void)platform::RemoveSubfolder(*parent, LastComponent(*f));
    }
  }
  return ok;
}

platform::Status RemoveFolderContents(const platform::Folder& folder) {
  platform::Result<std::vector<platform::FolderItem>> items = platform::ListFolder(folder);
  if (!items) return items.status();
  platform::Status all;
  for (const platform::FolderItem& item : *items) {
    platform::Status removed = platform::RemoveFileIn(folder, item.name);
    if (!removed && all) all = removed;
  }
  return all;
}

}  // namespace

std::vector<WString> FoldersOf(const WString& name) {
  std::vector<WString> folders;
  size_t first = 0;
  while (name.compare(first, 2, u".\\") == 0) first += 2;
  for (size_t i = name.find(u'\\', first); i != WString::npos; i = name.find(u'\\', i + 1)) {
    if (name.compare(i - 1, 1, u".") == 0 && (i == 1 || name[i - 2] == u'\\')) continue;
    folders.push_back(name.substr(0, i));
  }
  return folders;
}

WString LastComponent(const WString& name) {
  size_t slash = name.rfind(u'\\');
  return slash == WString::npos ? name : name.substr(slash + 1);
}

WString ParentOf(const WString& name) {
  std::vector<WString> folders = FoldersOf(name);
  return folders.empty() ? WString() : folders.back();
}

platform::Result<Staging> PlanStaging(const WString& root) {
  std::optional<WString> folder = platform::AppendPath(root, package::kStagingFolderName);
  // Room for the longest file name used inside it.
  if (!folder || folder->size() + 16 > kMaxPathUnits) {
    return platform::Status::Error(platform::BadNameError());
  }
  platform::Result<platform::Folder> opened = platform::OpenFolder(root);
  if (!opened) return opened.status();
  Staging staging;
  staging.root_folder = std::move(*opened);
  staging.root = root;
  staging.folder = *folder;
  return staging;
}

const platform::Folder* HeldFolder(Staging& staging, const WString& name, platform::Status* why) {
  if (name.empty()) return &staging.root_folder;
  for (auto& held : staging.folders) {
    if (held.first == name) return &held.second;
  }
  const platform::Folder* parent = HeldFolder(staging, ParentOf(name), why);
  if (!parent) return nullptr;
  platform::Result<platform::Folder> opened = platform::OpenSubfolder(*parent, LastComponent(name));
  if (!opened) {
    if (why) *why = opened.status();
    return nullptr;
  }
  staging.folders.emplace_back(name, std::move(*opened));
  return &staging.folders.back().second;
}

bool RecreateFolder(Staging& staging, const WString& name) {
  platform::Status why = platform::Status::Error(0);
  const platform::Folder* parent = HeldFolder(staging, ParentOf(name), &why);
  if (!parent) return false;
  WString leaf = LastComponent(name);
  if (!IsMissingIn(*parent, leaf)) return true;  // never removed
  platform::Result<platform::Folder> made = platform::CreateSubfolder(*parent, leaf, false);
  if (!made) return false;
  staging.folders.emplace_back(name, std::move(*made));
  return true;
}

void ReleaseFolder(Staging& staging, const WString& name) {
  for (auto held = staging.folders.begin(); held != staging.folders.end(); ++held) {
    if (held->first == name) {
      staging.folders.erase(held);
      return;
    }
  }
}

Failure CreateStagingFolder(Staging& staging) {
  platform::Result<platform::Folder> made = platform::CreateSubfolder(
      staging.root_folder, package::kStagingFolderName, /*private_only=*/true);
  if (!made) return Fail(Cause::kCreateStaging, staging.folder, made.status());
  platform::Result<bool> ours = platform::IsPrivateFolder(*made);
  if (!ours || !*ours) return Fail(Cause::kStagingNotOurs, staging.folder, ours.status());
  platform::Result<std::vector<platform::FolderItem>> items = platform::ListFolder(*made);
  if (!items) {
    // Ours but unreadable: it goes again (only while empty) and the install fails.
    made->Close();
    (void)platform::RemoveSubfolder(staging.root_folder, package::kStagingFolderName);
    return Fail(Cause::kCreateStaging, staging.folder, items.status());
  }
  if (!items->empty()) return Fail(Cause::kStagingNotOurs, staging.folder);
  staging.staging_folder = std::move(*made);
  return {};
}

void AddStagedEntry(Staging& staging, const WString& name, const WString& target) {
  WString number = Decimal(staging.entries.size());
  staging.entries.push_back(
      StagedEntry{name, target, number + u".new", number + u".old", false, false, 0, {}, {}});
}

Failure DropCurrentEntry(Staging& staging) {
  staging.entries.pop_back();
  ++staging.current;
  return {};
}

platform::Status WriteJournal(Staging& staging) {
  platform::Result<platform::File> file =
      platform::CreateFileIn(staging.staging_folder, kJournalName);
  if (!file) return file.status();
  package::PackageOut out{&*file, 0};
  bool ok = true;
  for (StagedEntry& e : staging.entries) {
    uint8_t existed = e.existed ? 1 : 0;
    platform::Status why = platform::Status::Error(0);
    const platform::Folder* parent = HeldFolder(staging, ParentOf(e.name), &why);
    platform::Result<platform::FileId> new_id =
        e.removal ? platform::FileId() : platform::FileIdIn(staging.staging_folder, e.staged);
    platform::Result<platform::FileId> old_id =
        !e.existed ? platform::FileId()
        : parent   ? platform::FileIdIn(*parent, LastComponent(e.name))
                   : platform::Result<platform::FileId>(why);
    if (!new_id) return new_id.status();
    if (!old_id) return old_id.status();
    e.new_id = *new_id;
    e.old_id = *old_id;
    uint64_t ids[4] = {new_id->volume, new_id->index, old_id->volume, old_id->index};
    ok = ok && WriteToPackage(out, kJournalFileTag, 4) && WriteToPackage(out, &existed, 1) &&
         WriteToPackage(out, ids, sizeof ids) && WriteEntryName(out, e.name);
  }
  for (const WString& f : staging.new_folders) {
    ok = ok && WriteToPackage(out, kJournalFolderTag, 4) && WriteEntryName(out, f);
  }
  for (const WString& f : staging.gone_folders) {
    ok = ok && WriteToPackage(out, kJournalGoneFolderTag, 4) && WriteEntryName(out, f);
  }
  ok = ok && WriteToPackage(out, kJournalDoneTag, 4);
  platform::Status synced = ok ? file->Sync() : platform::Status::Error(out.os_error);
  platform::Status closed = file->Close();
  return synced ? closed : synced;
}

platform::Status RemoveJournal(const Staging& staging) {
  return platform::RemoveFileIn(staging.staging_folder, kJournalName);
}

Failure RecoverInterruptedInstall(Staging& staging) {
  platform::Result<platform::NodeKind> kind =
      platform::KindIn(staging.root_folder, package::kStagingFolderName);
  if (!kind) return Fail(Cause::kStagingNotOurs, staging.folder, kind.status());
  if (*kind == platform::NodeKind::kMissing) return {};
  // Only a folder this program could have made is read or emptied: never a
  // link, a junction, a file, or a folder another user owns or may change.
  if (*kind != platform::NodeKind::kFolder) return Fail(Cause::kStagingNotOurs, staging.folder);
  platform::Result<platform::Folder> opened =
      platform::OpenSubfolder(staging.root_folder, package::kStagingFolderName);
  if (!opened) return Fail(Cause::kStagingNotOurs, staging.folder, opened.status());
  staging.staging_folder = std::move(*opened);
  platform::Result<bool> private_folder = platform::IsPrivateFolder(staging.staging_folder);
  if (!private_folder || !*private_folder) {
    return Fail(Cause::kStagingNotOurs, staging.folder, private_folder.status());
  }
  platform::Result<std::vector<platform::FolderItem>> items =
      platform::ListFolder(staging.staging_folder);
  if (!items) return Fail(Cause::kStagingNotOurs, staging.folder, items.status());
  for (const platform::FolderItem& item : *items) {
    // A folder renamed to the staging name holds the game's own files.
    if (!IsStagingName(item.name)) return Fail(Cause::kStagingNotOurs, staging.folder);
  }
  if (ReadJournal(staging) && !UndoFromJournal(staging)) {
    return Fail(Cause::kRecoveryFailed, staging.folder);
  }
  staging.entries.clear();
  staging.new_folders.clear();
  staging.gone_folders.clear();
  platform::Status removed = RemoveStagingFolder(staging);
  if (!removed) return Fail(Cause::kRecoveryFailed, staging.folder, removed);
  return {};
}

platform::Status RemoveStagingFolder(Staging& staging) {
  if (!staging.staging_folder) return platform::Status::Error(0);
  // A scanner or indexer may hold a file for a moment: one more try.
  const platform::Folder& folder = staging.staging_folder;
  platform::Status emptied = RemoveFolderContents(folder);
  if (!emptied) emptied = RemoveFolderContents(folder);
  if (!emptied) return emptied;
  staging.staging_folder.Close();  // not held while it goes
  platform::Status removed =
      platform::RemoveSubfolder(staging.root_folder, package::kStagingFolderName);
  if (!removed)
    removed = platform::RemoveSubfolder(staging.root_folder, package::kStagingFolderName);
  return removed;
}

}  // namespace updater::apply
