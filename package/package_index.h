// Reads a whole package without installing it: the entries it holds, or the
// first fault that apply mode would refuse it for.
#pragma once

#include <cstdint>
#include <functional>

#include "package/entry_name.h"
#include "package/format.h"
#include "platform/file.h"
#include "platform/platform.h"

// One entry as the package holds it.
struct IndexedEntry {
  int64_t offset = 0;     // of its tag in the file
  bool is_delta = false;  // a "dlta" record: the file rebuilt from the one it replaces
  WString name;
  EntryTimes times;
  int64_t size = 0;         // bytes of content (of the new file, for a delta)
  int64_t packed_size = 0;  // bytes of its zlib stream
  int64_t old_size = 0;     // of the file a delta replaces
};

enum class PackageFault {
  kNone,
  kNoPackage,      // the file does not end with a trailer
  kBadTrailer,     // the trailer's length does not fit the file or the format
  kBadTag,         // neither "file", "dlta" nor the located trailer's "feof"
  kBadName,        // cut short, empty, or a name the applier refuses
  kDuplicateName,  // the same path as an earlier entry ignoring case, or a file in a folder's place
  kTimesCut,       // the stream ends inside the three times
  kBadStream,      // damaged, cut short, or a wrong Adler-32
  kBadDelta,       // a delta's operations leave the old file or do not make the new size
  kCannotOpen,     // the file cannot be opened
};

// The header of one record, checked as the applier checks it.
struct RecordHeader {
  WString name;
  WString target;  // the name joined to the root
  EntryTimes times;
};

// Reads the name and times of the record whose "file" tag was just read. The
// name must be one the applier accepts, fit below `root` and name another
// file than every path in `paths` ignoring case; it is added to them.
// kNone with `header` filled, otherwise the fault.
PackageFault ReadRecordHeader(platform::File& package, const WString& root, PackagePaths& paths,
                              RecordHeader& header);

// Where reading a package stopped, and why.
struct IndexResult {
  PackageFault fault = PackageFault::kNone;
  int entry = 0;       // number of the entry at fault, from 1; 0 for the trailer
  int64_t offset = 0;  // byte offset of the fault's record (or trailer) in the file
};

// Reads every record of the package in the file at `path`, handing each
// sound entry to `visit` in package order; stops at the first fault.
IndexResult ReadPackageIndex(const WString& path,
                             const std::function<void(const IndexedEntry&)>& visit);
