// `updatepkg plan`'s dry run of one record: what the install would do with
// it, decided as the install decides (record_plan.h), reading only.
#pragma once

#include "apply/decision.h"
#include "apply/staging.h"
#include "package/failure.h"
#include "package/record_reader.h"
#include "platform/file.h"

namespace updater::apply {

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

// For a forecast kPatch: rebuilds the new file from the game's old file and
// the patch at the package's position (the record's streams), as staging
// would, hashing it and writing it nowhere. No failure when it makes the
// recorded SHA-256. The package is left after the streams it read.
Failure DryPatch(platform::File& package, const package::RecordReader& reader,
                 package::Record record, const Forecast& forecast, Staging& staging);

}  // namespace updater::apply
