// Writes the record of one source file: header, then its zlib stream.
#pragma once

#include <functional>
#include <optional>
#include <vector>

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

// Makes a whole record (a delta) for the file at `path`, named `name`, or
// none when the file is to be packed whole.
using RecordMaker = std::function<std::optional<std::vector<uint8_t>>(
    const WString& name, const WString& path, const EntryTimes& times)>;

// Queues the record of `file_path`, named relative to `source_root`, on the
// deflater that writes the package: the one `make_record` makes, if any,
// else the whole file. The content is opened before anything is queued, so
// a file that cannot be opened leaves the package untouched.
EntryWriteResult WriteEntry(ParallelDeflater& deflater, const WString& source_root,
                            const WString& file_path, const RecordMaker& make_record = nullptr);
