// The journal of one install, in its staging folder: every entry with the
// identities of its staged file and of the file it replaces, every folder to
// create and every folder that may go. It is on disk before the first file
// is moved into place and removed once the last one is, so that a run that
// finds it knows an install was cut off between the two, and what to undo.
//
// Layout (docs/format.md): records of a 4-byte tag, then for "file" one
// byte (bits: a file existed, it goes with nothing in its place, it is a
// folder) and four 64-bit little-endian identities (staged volume and
// index, old volume and index), then an entry name as a package writes it;
// "fold" (a folder made) only the name; "done" ends it. A journal without
// its "done" was cut off while written: nothing was moved. Journals of
// earlier updaters may also hold "rmdr" (a folder their commit removed),
// which recovery makes again; folders are now removed only once the
// journal is gone.
#pragma once

#include "apply/staging.h"
#include "platform/platform.h"

namespace updater::apply {

// The journal's name in the staging folder.
inline constexpr char16_t kJournalName[] = u"journal";

// Reads each staged and old file's identity through the held folders and
// writes the journal of `staging` into its staging folder, on disk before it
// returns. Fails when an identity cannot be read or the journal written.
platform::Status WriteJournal(Staging& staging);

// The entries and folders the journal of `staging`'s staging folder lists,
// added to `staging`: true when it was read to its end; false when there is
// none or it was cut off while written (then no file was moved yet); the
// failed call's Status when it cannot be opened or read, and Refused when a
// read gave less than the file holds or it holds what no updater writes.
platform::Result<bool> ReadJournal(Staging& staging);

// Removes the journal: from then on the install counts as finished.
platform::Status RemoveJournal(const Staging& staging);

}  // namespace updater::apply
