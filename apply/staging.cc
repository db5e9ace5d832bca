#include "apply/staging.h"

#include <cstring>

#include "package/entry_name.h"
#include "package/format.h"

namespace {

constexpr char kJournalFileTag[4] = {'f', 'i', 'l', 'e'};
constexpr char kJournalFolderTag[4] = {'f', 'o', 'l', 'd'};
constexpr char kJournalDoneTag[4] = {'d', 'o', 'n', 'e'};

WString JournalPath(const WString& folder) { return folder + u"\\journal"; }

WString Decimal(size_t n) {
  WString digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + n % 10));
    n /= 10;
  } while (n != 0);
  return digits;
}

WString StagedPath(const WString& folder, size_t index) {
  return folder + u"\\" + Decimal(index) + u".new";
}

WString BackupPath(const WString& folder, size_t index) {
  return folder + u"\\" + Decimal(index) + u".old";
}

// The entries and folders a journal lists; none when it is missing or was
// not written to its end (then no file was moved yet).
std::optional<Staging> ReadJournal(const WString& root, const WString& folder) {
  platform::File journal = platform::OpenFile(JournalPath(folder), "rb");
  if (!journal) return std::nullopt;
  Staging staging{root, folder, {}, {}};
  for (;;) {
    char tag[4];
    if (journal.Read(tag, sizeof tag) != sizeof tag) return std::nullopt;
    if (std::memcmp(tag, kJournalDoneTag, 4) == 0) return staging;
    uint8_t existed = 0;
    uint64_t ids[4] = {};
    bool is_file = std::memcmp(tag, kJournalFileTag, 4) == 0;
    if (is_file &&
        (journal.Read(&existed, 1) != 1 || journal.Read(ids, sizeof ids) != sizeof ids)) {
      return std::nullopt;
    }
    std::optional<WString> name = ReadEntryName(journal);
    if (!name || !IsAcceptableEntryName(*name)) return std::nullopt;
    if (is_file) {
      std::optional<WString> target = platform::AppendPath(root, *name);
      if (!target) return std::nullopt;
      AddStagedEntry(staging, *name, *target);
      StagedEntry& entry = staging.entries.back();
      entry.existed = existed != 0;
      entry.new_id = platform::FileId{ids[0], ids[1]};
      entry.old_id = platform::FileId{ids[2], ids[3]};
    } else if (std::memcmp(tag, kJournalFolderTag, 4) == 0) {
      staging.new_folders.push_back(*name);
    } else {
      return std::nullopt;
    }
  }
}

// True when no folder on the way to `name` below the root, nor the item
// itself, is a link or junction, and every folder that exists is one.
bool PathIsPlain(const Staging& staging, const WString& name) {
  std::vector<WString> parts = FoldersOf(name);
  parts.push_back(name);
  for (size_t i = 0; i < parts.size(); ++i) {
    std::optional<WString> path = platform::AppendPath(staging.root, parts[i]);
    if (!path || platform::IsLink(*path)) return false;
    if (i + 1 < parts.size() && platform::FileExists(*path) && !platform::IsDirectory(*path)) {
      return false;
    }
  }
  return true;
}

// True when the file at `path` is the one the journal recorded.
bool IsRecordedFile(const WString& path, const platform::FileId& id) {
  std::optional<platform::FileId> found = platform::GetFileId(path);
  return found && *found == id && !platform::IsDirectory(path);
}

// Puts back what a cut-off install changed, last change first, moving only
// the files it placed, along plain paths; what does not match stays, and
// gives false.
bool UndoFromJournal(const Staging& staging) {
  bool ok = true;
  for (auto e = staging.entries.rbegin(); e != staging.entries.rend(); ++e) {
    if (e->existed && platform::FileExists(e->backup)) {
      ok = PathIsPlain(staging, e->name) && IsRecordedFile(e->backup, e->old_id) &&
           platform::RenameFileReplacing(e->backup, e->target) && ok;
    } else if (!e->existed && !platform::FileExists(e->staged) && platform::FileExists(e->target)) {
      ok = PathIsPlain(staging, e->name) && IsRecordedFile(e->target, e->new_id) &&
           platform::RenameFile(e->target, e->staged) && ok;
    }
  }
  for (auto f = staging.new_folders.rbegin(); f != staging.new_folders.rend(); ++f) {
    // Only a folder the install made, still empty, and not a link.
    std::optional<WString> path = platform::AppendPath(staging.root, *f);
    if (path && PathIsPlain(staging, *f) && platform::IsDirectory(*path)) {
      platform::RemoveEmptyDirectory(*path);
    }
  }
  return ok;
}

bool RemoveFolderContents(const WString& folder) {
  std::optional<std::vector<platform::DirItem>> items = platform::ListDirectory(folder);
  if (!items) return false;
  bool ok = true;
  for (const platform::DirItem& item : *items) {
    if (!platform::RemoveFile(folder + u"\\" + item.name)) ok = false;
  }
  return ok && platform::RemoveEmptyDirectory(folder);
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

std::optional<Staging> PlanStaging(const WString& root) {
  std::optional<WString> folder = platform::AppendPath(root, kStagingFolderName);
  // Room for the longest file name used inside it.
  if (!folder || folder->size() + 16 > kMaxPathUnits) return std::nullopt;
  return Staging{root, *folder, {}, {}};
}

void AddStagedEntry(Staging& staging, const WString& name, const WString& target) {
  size_t index = staging.entries.size();
  staging.entries.push_back(StagedEntry{name,
                                        target,
                                        StagedPath(staging.folder, index),
                                        BackupPath(staging.folder, index),
                                        false,
                                        {},
                                        {}});
}

bool WriteJournal(const Staging& staging) {
  platform::File file = platform::OpenForWriting(JournalPath(staging.folder));
  if (!file) return false;
  PackageOut out{&file, 0};
  bool ok = true;
  for (const StagedEntry& e : staging.entries) {
    uint8_t existed = e.existed ? 1 : 0;
    std::optional<platform::FileId> new_id = platform::GetFileId(e.staged);
    std::optional<platform::FileId> old_id =
        e.existed ? platform::GetFileId(e.target) : platform::FileId();
    if (!new_id || !old_id) return false;
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
  return platform::RemoveFile(JournalPath(staging.folder));
}

bool RecoverInterruptedInstall(const WString& root) {
  std::optional<Staging> plan = PlanStaging(root);
  if (!plan) return false;
  if (platform::Probe(plan->folder) == platform::Presence::kMissing) return true;
  // Only a folder this program could have made is read or emptied: never a
  // link, a junction, or a folder another user owns or may change.
  if (!platform::IsPrivateDirectory(plan->folder)) return false;
  std::optional<Staging> journal = ReadJournal(root, plan->folder);
  if (journal && !UndoFromJournal(*journal)) return false;
  return RemoveStagingFolder(plan->folder);
}

bool RemoveStagingFolder(const WString& folder) {
  // A scanner or indexer may hold a file for a moment: one more try.
  return RemoveFolderContents(folder) || RemoveFolderContents(folder);
}
