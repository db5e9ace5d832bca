// Reads the records of a package one at a time, checking each header as the
// applier does. The one reader of records: apply mode, extract, list and
// verify all go through it, and consume each record's stream themselves.
#pragma once

#include <cstdint>
#include <optional>

#include "package/delta.h"
#include "package/entry_name.h"
#include "package/failure.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace updater::package {

enum class RecordKind {
  kFile,    // the whole file, in its stream
  kDelta,   // the file rebuilt from an old one, in four streams ("dstr")
  kRemove,  // the file removed ("gone"); no stream follows
};

// One record's header; its stream follows at the package's position.
struct Record {
  int number = 0;      // from 1, in package order (a version label is none)
  int64_t offset = 0;  // of its tag in the file
  RecordKind kind = RecordKind::kFile;
  WString name;
  WString target;  // the name joined to the root
  EntryTimes times;
  // A delta's sizes and hashes; for a removal, the old file's size and hash.
  DeltaHeader delta;
  WString old_name;  // the file a delta patches (its own name unless moved)
  // A delta's four streams, of these lengths, from the package's position on.
  uint32_t stream_lengths[4] = {};
  bool is_delta() const { return kind == RecordKind::kDelta; }
  // The bytes of a delta's streams.
  int64_t streams_size() const {
    return int64_t{stream_lengths[0]} + stream_lengths[1] + stream_lengths[2] + stream_lengths[3];
  }
};

class RecordReader {
 public:
  // Reads the package in `package` from its position (the first record) to
  // the trailer at `payload_end`; names are joined to `root`.
  RecordReader(platform::File& package, int64_t payload_end, WString root);

  // Reads the next record's header into `record`: true when there is one
  // and it is sound. False at the trailer (failure() has no cause then) or
  // at the first fault, which failure() holds.
  bool Next(Record& record);

  // A failure of the record read last: `cause`, with the OS error of `status`.
  Failure Fault(Cause cause, platform::Status status = {}) const;

  const Failure& failure() const { return failure_; }

  // The version label the package starts with, if it has one.
  const std::optional<WString>& label() const { return label_; }

 private:
  bool Stop(Cause cause, platform::Status status = {});
  // True when `name` is one the updater accepts below the root: `accepted`
  // and `target` (joined to the root) then hold it.
  bool AcceptName(const WString& name, WString& accepted, WString& target) const;

  platform::File& package_;
  int64_t payload_end_;
  int64_t start_;  // of the first record
  WString root_;
  PackagePaths paths_;  // every target so far, folded
  Record current_;
  Failure failure_;
  std::optional<WString> label_;
};

// Opens the update at `path` and finds its payload: the package positioned
// at the first record, and the trailer's offset in `payload_end`.
Failure OpenPackage(const WString& path, platform::File& package, int64_t& payload_end);

}  // namespace updater::package
