// Writes the record of one source file: header, then its zlib stream.
#pragma once

#include <functional>
#include <optional>

#include "package/failure.h"
#include "package/parallel_deflate.h"
#include "platform/platform.h"

namespace updater::pack {

// Queues the record of the file at `path`, named `name`, on `deflater`
// itself (a job that makes a delta, or the whole file where that is
// smaller) and gives whether the package took it; none when the file is
// simply packed whole.
using RecordMaker =
    std::function<std::optional<bool>(package::ParallelDeflater& deflater, const WString& name,
                                      const WString& path, const EntryTimes& times)>;

// Queues the record of the file `name` in `folder` (at `path`), named
// relative to `source_root`, on the deflater that writes `out`: the one
// `make_record` makes, if any, else the whole file. The content is opened
// before anything is queued, so a file that cannot be opened leaves the
// package untouched. A file gone since it was listed is skipped (`skipped`
// set, no failure).
Failure WriteEntry(package::ParallelDeflater& deflater, const package::PackageOut& out,
                   const WString& source_root, const platform::Folder& folder, const WString& name,
                   const WString& path, const RecordMaker& make_record, bool& skipped);

// The failure of an output that could not take what was written.
Failure OutputFailure(const package::PackageOut& out, const WString& path);

// Why `deflater` refused a record or could not finish: the record a job
// could not make (its file and the system's error), else the output's.
Failure DeflaterFailure(const package::ParallelDeflater& deflater, const package::PackageOut& out);

}  // namespace updater::pack
