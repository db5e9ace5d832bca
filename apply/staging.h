// The staging folder of one install: new files are inflated into it before
// any of them is moved into place, and old files are moved aside into it
// until the install has finished. Its journal lets a later run undo an
// install that was cut off (the program killed, the power lost).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

// One file of the package, as the install moves it.
struct StagedEntry {
  WString name;             // as the package names it
  WString target;           // where it goes
  WString staged;           // its new bytes, in the staging folder
  WString backup;           // where the old file is kept while the install runs
  bool existed = false;     // a file was at `target` when the package was staged
  platform::FileId new_id;  // the staged file, as the journal records it
  platform::FileId old_id;  // the file it replaces, where one `existed`
};

// What one install has staged and what it will create.
struct Staging {
  WString root;                      // the folder updated
  WString folder;                    // the staging folder in `root`
  std::vector<StagedEntry> entries;  // in package order
  std::vector<WString> new_folders;  // names of the folders to create, shallowest first
};

// The folders an entry name lies in, shallowest first, as names themselves
// (".\\a\\b\\c.dat" gives ".\\a" and ".\\a\\b"); "." components add none.
std::vector<WString> FoldersOf(const WString& name);

// An empty staging plan for `root`; none when the staging path is too long.
std::optional<Staging> PlanStaging(const WString& root);

// Adds the entry `name` with the target `target`, numbered in package order.
void AddStagedEntry(Staging& staging, const WString& name, const WString& target);

// Writes the journal (every entry with the identities of its staged and its
// old file, and every folder to create) into the staging folder, on disk
// before it returns true. False when an identity cannot be read.
bool WriteJournal(const Staging& staging);

// Removes the journal: from then on the install counts as finished.
bool RemoveJournal(const Staging& staging);

// Undoes an install that a journal in `root`'s staging folder describes
// (puts every old file back, removes what it added), then removes the
// staging folder. It acts only on what the install placed: a path with a
// link on its way, or a file whose identity is not the recorded one, is left
// where it is and gives false. True when there was none or all is undone.
bool RecoverInterruptedInstall(const WString& root);

// Removes the staging folder and everything in it; false when some of it stays.
bool RemoveStagingFolder(const WString& folder);
