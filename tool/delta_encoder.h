// The encoder of delta records: finds the new file's runs in the old file
// with a rolling hash over aligned blocks of the old file and extends every
// match byte by byte both ways. Memory: the index holds one 4-byte slot per
// 16 bytes of the old file (twice its 32-byte blocks), so 1/4 of the old
// file's size, plus the operations; both files are read through mappings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

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
// file at `new_path`, named `name` with `times`, from the file at
// `old_path`; none when there is no old file, either cannot be read, or the
// record would not be smaller than half of the whole-file record.
std::optional<std::vector<uint8_t>> MakeDeltaRecord(const WString& name, const WString& new_path,
                                                    const WString& old_path,
                                                    const EntryTimes& times, int threads);

}  // namespace updater::tool
