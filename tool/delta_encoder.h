// The encoder of delta records: finds the new file's runs in the old file
// with a rolling hash over aligned blocks of the old file and extends every
// match byte by byte both ways. Memory: the index holds one 4-byte slot per
// 16 bytes of the old file (twice its 32-byte blocks), so 1/4 of the old
// file's size, plus the operations; both files are read through mappings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "pack/package_builder.h"
#include "platform/platform.h"

namespace updater::tool {

// The operation stream (before compression) that makes `target` from
// `source`, encoded on `threads` threads (the stream does not depend on
// their number only up to where the target is cut between them); none when
// more than half of the target would be literal bytes, or the source is too
// large to index.
std::optional<std::vector<uint8_t>> EncodeDelta(const uint8_t* source, size_t source_size,
                                                const uint8_t* target, size_t target_size,
                                                int threads);

// The whole delta record (tag to the end of its stream) that rebuilds the
// file at `new_path`, named `name` with `times`, from the old release's
// file `old_name` at `old_path` (named in the record when it is not `name`:
// a move); none when either file cannot be read or is empty, or the record
// would not be smaller than the whole-file record.
std::optional<std::vector<uint8_t>> MakeDeltaRecord(const WString& name, const WString& new_path,
                                                    const WString& old_name,
                                                    const WString& old_path,
                                                    const EntryTimes& times, int threads);

// The files of an old release, and which of them a new file is best patched
// from.
class OldRelease {
 public:
  // `files` of the old release, in any order; `new_names` every name the new release has.
  OldRelease(std::vector<pack::TreeFile> files, const std::vector<WString>& new_names);

  // The old file to patch the new file `name` (at `path`, `size` bytes)
  // from: the file at the same name, else one with the same bytes (a move),
  // else one the new release no longer has with the same last name (a moved
  // folder) or the same extension and a like name, of similar size. None
  // when no old file is like it.
  const pack::TreeFile* SourceFor(const WString& name, const WString& path, int64_t size);

 private:
  const uint8_t* HashOf(size_t index);

  std::vector<pack::TreeFile> files_;
  std::vector<bool> gone_;  // not in the new release
  std::vector<std::optional<std::array<uint8_t, 32>>> hashes_;
};

// The SHA-256 of the file at `path` of a tree, read without moving its
// last-access time; false when it cannot be read.
bool HashTreeFile(const WString& path, uint8_t (&digest)[32]);

}  // namespace updater::tool
