#include "apply/staging.h"

#include <cstring>

#include "package/entry_name.h"
#include "package/format.h"

namespace {

constexpr char kJournalFileTag[4] = {'f', 'i', 'l', 'e'};
constexpr char kJournalFolderTag[4] = {'f', 'o', 'l', 'd'};
constexpr char kJournalDoneTag[4] = {'d', 'o', 'n', 'e'};
constexpr char16_t kJournalName[] = u"journal";

WString Decimal(size_t n) {
  WString digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + n % 10));
    n /= 10;
  } while (n != 0);
  return digits;
}

// The entries and folders a journal lists; none when it is missing or was
// not written to its end (then no file was moved yet).
bool ReadJournal(Staging& staging) {
  platform::File journal = platform::ReadFileIn(staging.staging_folder, kJournalName);
  if (!journal) return false;
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
    std::optional<WString> name = ReadEntryName(journal);
    if (!name || !IsAcceptableEntryName(*name)) return false;
    if (is_file) {
      AddStagedEntry(staging, *name, staging.root + u"\\" + *name);
      StagedEntry& entry = staging.entries.back();
      entry.existed = existed != 0;
      entry.new_id = platform::FileId{ids[0], ids[1]};
      entry.old_id = platform::FileId{ids[2], ids[3]};
    } else if (std::memcmp(tag, kJournalFolderTag, 4) == 0) {
      staging.new_folders.push_back(*name);
    } else {
      return false;
    }
  }
}

// True when the file `name` of `folder` is the one the journal recorded.
bool IsRecordedFile(const platform::Folder& folder, const WString& name,
                    const platform::FileId& id) {
  std::optional<platform::FileId> found = platform::FileIdIn(folder, name);
  return found && *found == id;
}

// Puts back one file as the journal recorded it; true when there was nothing
// to put back.
bool UndoEntry(Staging& staging, const StagedEntry& e) {
  const platform::Folder& stage = staging.staging_folder;
  const platform::Folder* parent = HeldFolder(staging, ParentOf(e.name));
  WString leaf = LastComponent(e.name);
  if (e.existed && platform::KindIn(stage, e.backup) != platform::NodeKind::kMissing) {
    return parent && IsRecordedFile(stage, e.backup, e.old_id) &&
           platform::MoveFileBetween(stage, e.backup, *parent, leaf, true);
  }
  if (e.existed || platform::KindIn(stage, e.staged) != platform::NodeKind::kMissing) return true;
  if (!parent) return true;  // no folder on its way: it was never placed
  if (platform::KindIn(*parent, leaf) == platform::NodeKind::kMissing) return true;
  return IsRecordedFile(*parent, leaf, e.new_id) &&
         platform::MoveFileBetween(*parent, leaf, stage, e.staged, false);
}

// Puts back what a cut-off install changed, last change first, moving only
// the files it placed, through held folders; what does not match stays, and
// gives false.
bool UndoFromJournal(Staging& staging) {
  bool ok = true;
  for (auto e = staging.entries.rbegin(); e != staging.entries.rend(); ++e) {
    if (!UndoEntry(staging, *e)) ok = false;
  }
  for (auto f = staging.new_folders.rbegin(); f != staging.new_folders.rend(); ++f) {
    // Only a folder the install made, still empty, and not a link: removal
    // refuses the others.
    staging.folders.erase(*f);  // not held while it goes
    if (const platform::Folder* parent = HeldFolder(staging, ParentOf(*f))) {
      platform::RemoveSubfolder(*parent, LastComponent(*f));
    }
  }
  return ok;
}

bool RemoveFolderContents(const platform::Folder& folder) {
  std::optional<std::vector<WString>> names = platform::ListFolder(folder);
  if (!names) return false;
  bool ok = true;
  for (const WString& name : *names) {
    if (!platform::RemoveFileIn(folder, name)) ok = false;
  }
  return ok;
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

std::optional<Staging> PlanStaging(const WString& root) {
  std::optional<WString> folder = platform::AppendPath(root, kStagingFolderName);
  // Room for the longest file name used inside it.
  if (!folder || folder->size() + 16 > kMaxPathUnits) return std::nullopt;
  Staging staging;
  staging.root_folder = platform::OpenFolder(root);
  if (!staging.root_folder) return std::nullopt;
  staging.root = root;
  staging.folder = *folder;
  return staging;
}

const platform::Folder* HeldFolder(Staging& staging, const WString& name) {
  if (name.empty()) return &staging.root_folder;
  auto held = staging.folders.find(name);
  if (held != staging.folders.end()) return &held->second;
  const platform::Folder* parent = HeldFolder(staging, ParentOf(name));
  if (!parent) return nullptr;
  platform::Folder opened = platform::OpenSubfolder(*parent, LastComponent(name));
  if (!opened) return nullptr;
  return &staging.folders.emplace(name, std::move(opened)).first->second;
}

bool CreateStagingFolder(Staging& staging) {
  staging.staging_folder =
      platform::CreateSubfolder(staging.root_folder, kStagingFolderName, /*private_only=*/true);
  return static_cast<bool>(staging.staging_folder);
}

void AddStagedEntry(Staging& staging, const WString& name, const WString& target) {
  WString number = Decimal(staging.entries.size());
  staging.entries.push_back(
      StagedEntry{name, target, number + u".new", number + u".old", false, {}, {}});
}

bool WriteJournal(Staging& staging) {
  platform::File file = platform::CreateFileIn(staging.staging_folder, kJournalName);
  if (!file) return false;
  PackageOut out{&file, 0};
  bool ok = true;
  for (StagedEntry& e : staging.entries) {
    uint8_t existed = e.existed ? 1 : 0;
    const platform::Folder* parent = HeldFolder(staging, ParentOf(e.name));
    std::optional<platform::FileId> new_id = platform::FileIdIn(staging.staging_folder, e.staged);
    std::optional<platform::FileId> old_id =
        !e.existed ? platform::FileId()
        : parent   ? platform::FileIdIn(*parent, LastComponent(e.name))
                   : std::nullopt;
    if (!new_id || !old_id) return false;
    e.new_id = *new_id;
    e.old_id = *old_id;
    uint64_t ids[4] = {new_id->volume, new_id->index, old_id->volume, old_id->index};
    ok = ok && WriteToPackage(out, kJournalFileTag, 4) && WriteToPackage(out, &existed, 1) &&
         WriteToPackage(out, ids, sizeof ids) && WriteEntryName(out, e.name);
  }
  for (const WString& f : staging.new_folders) {
    ok = ok && WriteToPackage(out, kJournalFolderTag, 4) && WriteEntryName(out, f);
  }
  ok = ok && WriteToPackage(out, kJournalDoneTag, 4) && file.Sync();
  return file.Close() && ok;
}

bool RemoveJournal(const Staging& staging) {
  return platform::RemoveFileIn(staging.staging_folder, kJournalName);
}

bool RecoverInterruptedInstall(Staging& staging) {
  switch (platform::KindIn(staging.root_folder, kStagingFolderName)) {
    case platform::NodeKind::kMissing:
      return true;
    case platform::NodeKind::kFolder:
      break;
    default:  // a link, a file, or what cannot be told: never acted on
      return false;
  }
  // Only a folder this program could have made is read or emptied: never a
  // link, a junction, or a folder another user owns or may change.
  staging.staging_folder = platform::OpenSubfolder(staging.root_folder, kStagingFolderName);
  if (!staging.staging_folder || !platform::IsPrivateFolder(staging.staging_folder)) return false;
  if (ReadJournal(staging) && !UndoFromJournal(staging)) return false;
  staging.entries.clear();
  staging.new_folders.clear();
  return RemoveStagingFolder(staging);
}

bool RemoveStagingFolder(Staging& staging) {
  if (!staging.staging_folder) return false;
  // A scanner or indexer may hold a file for a moment: one more try.
  const platform::Folder& folder = staging.staging_folder;
  if (!RemoveFolderContents(folder) && !RemoveFolderContents(folder)) return false;
  staging.staging_folder.Close();  // not held while it goes
  return platform::RemoveSubfolder(staging.root_folder, kStagingFolderName) ||
         platform::RemoveSubfolder(staging.root_folder, kStagingFolderName);
}
