// The encoder of delta records. For each changed file it sorts every suffix
// of the old file it patches (SA-IS, in linear time), then walks the new file
// looking up the longest match of each position in the old file, and keeps
// to the alignment of the last match while at least half of the bytes agree:
// code whose addresses moved becomes a difference of mostly zeros. The
// operations, the differences (as gaps and values) and the literal bytes go
// into four zlib streams of a delta record ("dstr"). Memory: about 12 bytes per byte of the
// old file while its suffixes are sorted, 4 bytes per byte while the new file
// is walked, plus both files, mapped. An old file over 80 MiB, or a pair
// whose walk would pass a bound of work proportional to their sizes, is
// matched instead by exact runs of hashed 32-byte blocks (a quarter of the
// old file's size in memory). Each file is encoded on one thread, so the
// bytes never depend on how many run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "pack/package_builder.h"
#include "package/parallel_deflate.h"
#include "platform/platform.h"

namespace updater::tool {

// The suffix array of `data` and its empty suffix: the `size` + 1 starting
// offsets of its suffixes in lexicographic order (the empty one, `size`,
// first).
std::vector<int32_t> SuffixArray(const uint8_t* data, size_t size);

// The four streams of a delta (before compression), and the zero
// differences since the last value, which the next gap counts.
struct SplitDelta {
  std::vector<uint8_t> operations, gaps, values, literals;
  uint64_t zeros = 0;
};

// The delta that makes `target` from `source`; none when `source` is empty
// or either reaches 2 GiB.
std::optional<SplitDelta> EncodeDelta(const uint8_t* source, size_t source_size,
                                      const uint8_t* target, size_t target_size);

// The job that makes the record of the file at `new_path`, named `name`
// with `times`: a split delta from the old release's file `old_name` at
// `old_path` where that is smaller than the whole-file record, otherwise
// the whole-file record (exactly as a build writes it).
std::unique_ptr<package::RecordJob> DeltaRecordJob(const WString& name, const WString& new_path,
                                                   const WString& old_name, const WString& old_path,
                                                   const EntryTimes& times);

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
  std::vector<size_t> by_name_;  // indices of files_ in the order of their names
};

// The SHA-256 of the file at `path` of a tree, read without moving its
// last-access time; false when it cannot be read.
bool HashTreeFile(const WString& path, uint8_t (&digest)[32]);

}  // namespace updater::tool
