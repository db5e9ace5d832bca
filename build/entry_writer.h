// Writes the record of one source file: header, then its zlib stream.
#pragma once

#include <optional>

#include "package/format.h"
#include "package/parallel_deflate.h"
#include "platform/platform.h"

enum class EntryWriteResult {
  kWritten,           // a complete record was appended
  kSkipped,           // the file vanished since it was listed; nothing written
  kSourceUnreadable,  // the file exists but cannot be read
  kBadName,           // the name cannot be carried by a package
  kBadTime,           // a time of the file has no FILETIME
  kPackageError,      // the package could not take the record
};

// Reads the three times of the file at `path` into `times`.
platform::TimesRead ReadFileTimes(const WString& path, EntryTimes* times);

// Queues the record of `file_path`, named relative to `source_root`, on the
// deflater that writes the package. The content is opened before anything
// is queued, so a file that cannot be opened leaves the package untouched.
EntryWriteResult WriteEntry(ParallelDeflater& deflater, const WString& source_root,
                            const WString& file_path);
