// Stages the records of a package one by one: checks each target, inflates
// (or patches) its file into the staging folder and gives the staged file
// its three times, or plans its removal. Nothing in the game folder changes
// here: the commit moves what is staged.
#pragma once

#include "apply/decision.h"
#include "apply/staging.h"
#include "package/failure.h"
#include "package/record_reader.h"
#include "platform/file.h"

namespace updater::apply {

// Stages the record `reader` just read, whose stream is at the package's
// position. Its target must be missing or a replaceable file, reached
// through plain folders only; its stream must inflate whole (for a delta,
// rebuild the recorded file from the very old file it was made from). An
// "alts" record becomes the delta from the version installed.
Failure StageRecord(platform::File& package, package::RecordReader& reader, package::Record& record,
                    Staging& staging);

// What staging a record would do, found by reading only: a dry run.
struct Forecast {
  Action action = Action::kFail;
  uint32_t releases = 0;  // kPatch, kRemove, kCurrent: the releases whose version is installed
  int version = -1;       // kPatch of an "alts" record: the version patched from
  Failure failure;        // kFail: why
  // A file on the way that becomes a folder, or the folder (`in_way_folder`)
  // its file replaces: moved aside as it is placed. Empty where none is.
  WString in_way;
  bool in_way_folder = false;
};

// The forecast of the record `reader` just read, against the folders of
// `staging` (planned, its staging folder not made), decided as the install
// decides, with the rights it will have: nothing is written. The record's
// streams are left unread.
Forecast ForecastRecord(const package::Record& record, Staging& staging);

// Checks, once every record is staged (or forecast), that each folder a
// file replaces is emptied by the update: every file in it (and in its
// folders, which go aside too, deepest first) is one a removal takes. A
// player's own file there, a version the update keeps, a link: the failure
// names it. (Those the removals list as folders they may leave empty are
// files by then: removing them fails, and nothing changes.)
Failure CheckFoldersMovedAside(Staging& staging);

// For a forecast kPatch: rebuilds the new file from the game's old file and
// the patch at the package's position (the record's streams), as staging
// would, hashing it and writing it nowhere. No failure when it makes the
// recorded SHA-256. The package is left after the streams it read.
Failure DryPatch(platform::File& package, const package::RecordReader& reader,
                 package::Record record, const Forecast& forecast, Staging& staging);

}  // namespace updater::apply
