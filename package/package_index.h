// Reads a whole package without installing it: the entries it holds, or the
// first fault that apply mode would refuse it for.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "package/failure.h"
#include "package/record_reader.h"
#include "platform/platform.h"

namespace updater::package {

// One entry as the package holds it.
struct IndexedEntry {
  Record record;
  int64_t size = 0;         // bytes of content (of the new file for a delta, the old for a removal)
  int64_t packed_size = 0;  // bytes of its zlib stream, or its part of its block's
  uint8_t sha256[32] = {};  // of its content, when asked for (always for a delta or removal)
};

// Reads the content of the whole-file record `reader` read last (its zlib
// stream, or its part of a solid block), counting its bytes into `size` and hashing them into
// `hash` where given; the failure names that record.
Failure ReadWholeStream(RecordReader& reader, int64_t& size, platform::Sha256* hash = nullptr);

// How ReadPackageIndex reads the entries' contents.
enum class IndexReading {
  kChecked,  // every stream decoded and checked, as apply mode would
  kHashed,   // so, and each entry gets its content's SHA-256 (a delta's as its record states it)
  // The files of solid blocks as the blocks' heads state them, their streams
  // undecoded (a tool counting what it has just written): a whole package
  // of them read in moments, where decoding it takes as long as installing.
  kAsStated,
};

// Reads every record of the package in the file at `path`, handing each
// sound entry to `visit` in package order; stops at the first fault, which
// it returns with its entry number and offset. `label`, where given,
// receives the package's version label, if it has one, and `releases` the
// labels of the releases it is made from, where it has them.
Failure ReadPackageIndex(const WString& path, const std::function<void(const IndexedEntry&)>& visit,
                         IndexReading reading = IndexReading::kChecked,
                         std::optional<WString>* label = nullptr,
                         std::vector<WString>* releases = nullptr);

}  // namespace updater::package
