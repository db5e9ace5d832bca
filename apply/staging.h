// The staging folder of one install: new files are inflated into it before
// any of them is moved into place, and old files are moved aside into it
// until the install has finished. Its journal lets a later run undo an
// install that was cut off (the program killed, the power lost).
//
// Every folder is opened once and held (held_folders.h), and every file
// operation goes through those handles: nothing checked by name is later
// used by name.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "apply/held_folders.h"
#include "apply/install_report.h"
#include "apply/staged_sync.h"
#include "package/failure.h"
#include "package/record_reader.h"
#include "platform/platform.h"

namespace updater::apply {

// One file of the package, as the install moves it.
struct StagedEntry {
  WString name;             // as the package names it
  WString target;           // where it goes, for messages
  WString staged;           // its new bytes: a name in the staging folder
  WString backup;           // where the old file is kept while the install runs: the same
  bool existed = false;     // a file was at `target` when the package was staged
  bool removal = false;     // the file goes (to `backup`) and nothing takes its place
  bool read_only = false;   // that file has the read-only attribute (Windows)
  uint32_t old_mode = 0;    // that file's permission bits (POSIX), which the new one keeps
  platform::FileId new_id;  // the staged file, as the journal records it
  platform::FileId old_id;  // the file it replaces, where one `existed`
  uint32_t releases = 0;    // a removal: the releases whose version it removes
  // A removal that makes room for the record staged next: a file where that
  // record needs a folder, or a folder (`folder`) where it writes its file.
  // It goes as a removal does, and counts as part of that record.
  bool aside = false;
  bool folder = false;
};

// A file hashed during one run, known by its identity, size and last write:
// each is read once, however many records and versions name it.
struct HashedFile {
  platform::FileId id;
  uint64_t size = 0;
  FileTime last_write = 0;
  uint8_t sha256[32] = {};
};

// What one install has staged and what it will create, with the folders it
// holds open, and its report so far.
struct Staging {
  WString root;                      // the folder updated, for messages
  WString folder;                    // the staging folder's path, for messages
  HeldFolders folders;               // the game folder and those below it
  platform::Folder staging_folder;   // held while it exists
  std::vector<StagedEntry> entries;  // in package order
  std::vector<WString> new_folders;  // names of the folders to create, shallowest first
  // Folders of removed files, deepest first: each goes too once it is empty.
  std::vector<WString> gone_folders;
  InstallReport report;  // the records already current, the files kept, the releases matched
  std::vector<HashedFile> hashed;  // the game's files hashed so far
  // A plan's view of an install cut off before it: the entries whose files
  // a recovery puts back (`existed`: from `backup` in `staging_folder`) or
  // takes away, as the install meets them after it. Empty in an install,
  // which recovers first.
  std::vector<StagedEntry> pending;
  // How the game's files are opened to be read: a plan passes
  // platform::ReadFileKeepingAccessIn, so that reads leave last-access times
  // as they were (and the updater never links it).
  platform::Result<platform::File> (*read_file)(const platform::Folder& folder,
                                                const WString& name) = platform::ReadFileIn;
  // Syncs whole staged files where each is synced alone; declared last, so
  // that it is done with them before the folders go.
  std::unique_ptr<StagedSync> sync = std::make_unique<StagedSync>();
};

// Opens `root` and plans its staging in `staging`, new; fails when `root`
// is no folder or the staging path would be too long. (A Staging is made
// in place and never moved: the updater carries no code to move one.)
platform::Status PlanStaging(const WString& root, Staging& staging);

// Creates the staging folder anew, for this user alone, and holds it: only
// once the folder opened is the one just made (empty, this user's, private),
// never one put in its place meanwhile.
Failure CreateStagingFolder(Staging& staging);

// Where the entry `name` goes below the staging's root, for messages.
WString TargetOf(const Staging& staging, const WString& name);

// Adds the entry `name` with the target `target`, numbered in package order.
void AddStagedEntry(Staging& staging, const WString& name, const WString& target);

// Counts the entry added last as already done and drops it: nothing failed.
Failure DropCurrentEntry(Staging& staging);

// The entry that moves `name` (a removal, or an item in a record's way)
// aside, compared ignoring case; null where none does.
StagedEntry* EntryMovingAside(Staging& staging, const WString& name);

// Makes the entries that RecoverInterruptedInstall(…, true) read, as far as undoing
// them changes the game folder, `staging.pending`: a plan sees the folder as
// the recovery leaves it. Where the recovery failed (`trusted` false), what
// the journal was read of is dropped, and the folder is seen as it is.
void ForeseeRecovery(Staging& staging, bool trusted);

// The pending entry at `name`; null where a recovery leaves it as it is.
const StagedEntry* PendingAt(const Staging& staging, const WString& name);

// Undoes an install that a journal in the staging folder describes (puts
// back every folder it removed and every old file, removes what it added), then removes the staging
// folder. It acts only on what the install placed: a path with a link on its
// way, or a file whose identity is not the recorded one, is left where it is
// and fails it, as does a staging folder another user could have made or
// changed. No failure when there was none or all is undone; otherwise the
// first step that could not be undone, with its path and the OS error.
// `foresee_only` (a plan): nothing is changed; the staging folder is held
// and the journal's entries stay in `staging` where it lists steps to undo,
// and the failure is the one the recovery would meet before its first step.
Failure RecoverInterruptedInstall(Staging& staging, bool foresee_only = false);

// Removes the staging folder and everything in it; fails when some of it stays.
platform::Status RemoveStagingFolder(Staging& staging);

}  // namespace updater::apply
