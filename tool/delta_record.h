// The records a `--delta-from` build makes on its workers: a delta record
// ("dstr": the old file's name, the delta header, four zlib streams) where
// that is smaller than the whole file's record, else the whole-file record
// exactly as any build writes it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "package/failure.h"
#include "package/parallel_deflate.h"
#include "platform/platform.h"
#include "tool/delta_encoder.h"

namespace updater::tool {

// The record that packs the file at `path` whole into `record`, named
// `name` with `times`.
Failure WholeRecord(const WString& name, const WString& path, const EntryTimes& times,
                    std::vector<uint8_t>& record);

// The delta record into `record` that makes the file at `new_path` (named
// `name`, with `times`) from the old release's file `old_name` at
// `old_path`. `record` stays empty where there is no delta to make (an empty
// old file, or a file of 2 GiB).
Failure DeltaRecord(const WString& name, const WString& new_path, const WString& old_name,
                    const WString& old_path, const EntryTimes& times, std::vector<uint8_t>& record,
                    const EncodeLimits& limits = {});

// The job that makes the record of the file at `new_path`: the delta from
// `old_path` where that is smaller than the whole-file record, otherwise the
// whole-file record. An old file that cannot be read is no failure: the
// file goes whole. A new file that cannot be read fails with its path and
// the system's error.
std::unique_ptr<package::RecordJob> DeltaRecordJob(const WString& name, const WString& new_path,
                                                   const WString& old_name, const WString& old_path,
                                                   const EntryTimes& times);

}  // namespace updater::tool
