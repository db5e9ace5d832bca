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
// rebuild the recorded file from the very old file it was made from).
Failure StageRecord(platform::File& package, const package::RecordReader& reader,
                    const package::Record& record, Staging& staging);

}  // namespace updater::apply
