// Stages the records of a package one by one: checks each target, inflates
// (or patches) its file into the staging folder and gives the staged file
// its three times, or plans its removal. Nothing in the game folder changes
// here: the commit moves what is staged.
#pragma once

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

// Checks, once every record is staged (or forecast), that each folder a
// file replaces is emptied by the update: every file in it (and in its
// folders, which go aside too, deepest first) is one a removal takes. A
// player's own file there, a version the update keeps, a link: the failure
// names it. (Those the removals list as folders they may leave empty are
// files by then: removing them fails, and nothing changes.)
Failure CheckFoldersMovedAside(Staging& staging);

}  // namespace updater::apply
