// The files of the release an update is made from, and which of them each
// new file is best patched from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "pack/package_builder.h"
#include "platform/platform.h"

namespace updater::release {

class OldRelease {
 public:
  // `files` of the old release, in any order; `new_files` every file of the new release.
  OldRelease(std::vector<pack::TreeFile> files, std::vector<pack::TreeFile> new_files);

  // The old file to patch the new file `name` (at `path`, `size` bytes)
  // from: the file at the same name, else one with the same bytes (a move),
  // else one the new release no longer has with the same last name (a moved
  // folder) or the same extension and a like name, of similar size; else,
  // for a file new in name only (a source split in two, or renamed), the
  // old file of its extension that holds the most of its bytes, among those
  // the update replaces or removes anyway: patching from one of them asks
  // nothing more of the player's install than the update already does.
  // None when no old file is like it.
  const pack::TreeFile* SourceFor(const WString& name, const WString& path, int64_t size);

  // The SHA-256 of `file`, one of this release's (all zeros where it cannot be read).
  const uint8_t* HashOf(const pack::TreeFile* file) {
    return HashOf(static_cast<size_t>(file - files_.data()));
  }

 private:
  const uint8_t* HashOf(size_t index);
  bool Replaced(size_t index);
  const pack::TreeFile* MostAlike(const WString& path, const WString& extension, int64_t size);
  // Each sample beside the old file that holds it, in order.
  using SampleIndex = std::vector<std::pair<uint64_t, uint32_t>>;
  const SampleIndex& IndexOf(const WString& extension);

  std::vector<pack::TreeFile> files_, new_files_;
  std::vector<bool> gone_;         // not in the new release
  std::vector<size_t> same_name_;  // where not gone, the index of new_files_ with its name
  std::vector<std::optional<bool>> replaced_;  // gone, or other bytes in the new release
  // For each extension a new file needed it for: which of the old files
  // the update replaces or removes hold each sample.
  std::map<WString, SampleIndex> indices_;
  std::vector<std::optional<std::array<uint8_t, 32>>> hashes_;
  std::vector<size_t> by_name_;  // indices of files_ in the order of their names
};

// The SHA-256 of the file at `path` of a tree, read without moving its
// last-access time.
platform::Status HashTreeFile(const WString& path, uint8_t (&digest)[32]);

}  // namespace updater::release
