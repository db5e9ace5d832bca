#include "apply/journal.h"

#include <cstring>

#include "package/entry_name.h"
#include "package/format.h"

namespace updater::apply {
namespace {

constexpr char kJournalFileTag[4] = {'f', 'i', 'l', 'e'};
constexpr char kJournalFolderTag[4] = {'f', 'o', 'l', 'd'};
constexpr char kJournalGoneFolderTag[4] = {'r', 'm', 'd', 'r'};
constexpr char kJournalDoneTag[4] = {'d', 'o', 'n', 'e'};

// The bits of a file entry's first byte: an old file existed at its name;
// it goes aside with nothing in its place (a removal); it is a folder.
// Earlier updaters wrote only the first.
constexpr uint8_t kExisted = 1, kRemoval = 2, kFolder = 4;

}  // namespace

platform::Status WriteJournal(Staging& staging) {
  platform::Result<platform::File> file =
      platform::CreateFileIn(staging.staging_folder, kJournalName);
  if (!file) return file.status();
  package::PackageOut out{&*file, 0};
  bool ok = true;
  // The identities were read through the handles that made the staged files
  // and found the old ones writable; a journal left without its end reads
  // as none.
  for (const StagedEntry& e : staging.entries) {
    // What the entry is, then staged volume and index, old volume and index.
    uint8_t file[1 + 32] = {static_cast<uint8_t>(
        (e.existed ? kExisted : 0) | (e.removal ? kRemoval : 0) | (e.folder ? kFolder : 0))};
    package::PutLittleEndian(file + 1, e.new_id.volume, 8);
    package::PutLittleEndian(file + 9, e.new_id.index, 8);
    package::PutLittleEndian(file + 17, e.old_id.volume, 8);
    package::PutLittleEndian(file + 25, e.old_id.index, 8);
    ok = ok && WriteToPackage(out, kJournalFileTag, 4) && WriteToPackage(out, file, sizeof file) &&
         WriteEntryName(out, e.name);
  }
  for (const WString& f : staging.new_folders) {
    ok = ok && WriteToPackage(out, kJournalFolderTag, 4) && WriteEntryName(out, f);
  }
  ok = ok && WriteToPackage(out, kJournalDoneTag, 4);
  platform::Status synced = ok ? file->Sync() : platform::Status::Error(out.os_error);
  platform::Status closed = file->Close();
  return synced ? closed : synced;
}

platform::Result<bool> ReadJournal(Staging& staging) {
  // Read as the run reads the game's files: a plan leaves its access time.
  platform::Result<platform::File> opened = staging.read_file(staging.staging_folder, kJournalName);
  if (!opened) {
    if (platform::IsMissing(opened.error())) return false;
    return opened.status();
  }
  platform::File& journal = *opened;
  // Its size, to tell a journal that ends early (cut off while written) from
  // a read that did.
  platform::Status sized = journal.Seek(0, SEEK_END);
  int64_t size = journal.Tell();
  if (sized) sized = journal.Seek(0, SEEK_SET);
  if (!sized) return sized;
  for (;;) {
    char tag[4];
    if (journal.Read(tag, sizeof tag) != sizeof tag) break;
    if (std::memcmp(tag, kJournalDoneTag, 4) == 0) return true;
    uint8_t existed = 0;
    std::optional<uint64_t> ids[4];  // staged volume and index, old volume and index
    bool is_file = std::memcmp(tag, kJournalFileTag, 4) == 0;
    if (is_file) {
      bool whole = journal.Read(&existed, 1) == 1;
      if (whole && existed > (kExisted | kRemoval | kFolder)) return platform::Status::Refused();
      for (std::optional<uint64_t>& id : ids) {
        whole = whole && (id = package::ReadNumber(journal, 8)).has_value();
      }
      if (!whole) break;
    }
    std::optional<WString> name = package::ReadEntryName(journal);
    if (!name) break;
    if (!package::IsAcceptableEntryName(*name)) return platform::Status::Refused();
    if (is_file) {
      AddStagedEntry(staging, *name, TargetOf(staging, *name));
      StagedEntry& entry = staging.entries.back();
      entry.existed = (existed & kExisted) != 0;
      entry.removal = (existed & kRemoval) != 0;
      entry.folder = (existed & kFolder) != 0;
      entry.new_id = platform::FileId{*ids[0], *ids[1]};
      entry.old_id = platform::FileId{*ids[2], *ids[3]};
    } else if (std::memcmp(tag, kJournalFolderTag, 4) == 0) {
      staging.new_folders.push_back(std::move(*name));
    } else if (std::memcmp(tag, kJournalGoneFolderTag, 4) == 0) {
      staging.gone_folders.push_back(std::move(*name));
    } else {
      return platform::Status::Refused();  // a tag no updater writes
    }
  }
  // It ends before its "done": cut off while written, so nothing was moved
  // yet; unless a read failed, or gave less than the file holds.
  if (!journal.status()) return journal.status();
  if (journal.Tell() != size) return platform::Status::Refused();
  return false;
}

platform::Status RemoveJournal(const Staging& staging) {
  return platform::RemoveFileIn(staging.staging_folder, kJournalName);
}

}  // namespace updater::apply
