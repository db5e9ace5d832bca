// A patch as a delta record carries it: the old and new files' sizes and
// SHA-256s, and the four coded streams (operations, gaps, values, literals)
// that make the new file from the old one: deflated ("dstr"), or each as a
// byte of LZMA settings, the size it decodes to and a raw LZMA stream
// ("dlzm"). Made from two buffers; the files they come from are the caller's.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "delta/lzma_encoder.h"
#include "delta/split_delta.h"
#include "package/delta.h"
#include "platform/status.h"

namespace updater::delta {

// The four coded streams of a delta: operations, gaps, values, literals.
using PatchStreams = std::array<std::vector<uint8_t>, 4>;

// How a patch's streams are coded: deflated, or LZMA at `level`.
struct PatchCoding {
  bool lzma = false;
  LzmaLevel level = LzmaLevel::kNormal;
  // LZMA: the literals are also coded after the old file (as "dlzo"
  // records carry them), where it is small enough to be their window's start.
  bool after_old = false;
  // Called on the calling thread while the patch in inflated form is made
  // on a thread of its own, with a bound on the patch kept: the plain
  // patch's coded size, lowered to the other's when that is made smaller.
  // Work bounded by the patch's size can fill that wait.
  std::function<void(const std::atomic<size_t>& bound)> beside_inflated = nullptr;
};

struct Patch {
  package::DeltaHeader header;
  PatchStreams streams;
  PatchStreams raw;  // the four streams as they decode
  // The literals' stream coded after the old file, where that is smaller
  // than streams[3]; else empty.
  std::vector<uint8_t> literals_after_old;
};

// One of the four streams of a block of patches (0 operations, 1 gaps, 2
// values, 3 literals: every file's, back to back) into `coded`, with the
// settings byte it is read with: raw LZMA with that stream's contexts, or
// stored where LZMA would make it no smaller. False where the coder's
// memory fails.
bool CodeBlockStream(const std::vector<uint8_t>& data, int stream, LzmaLevel level,
                     uint8_t& settings, std::vector<uint8_t>& coded);

// A whole file as one stream read as a delta's LZMA streams are (an "alzw"
// record's): a settings byte, the size, and raw LZMA at the default
// contexts, or stored. False where the coder's memory fails or it is 4 GiB.
bool EncodeWholeStream(const uint8_t* data, size_t size, LzmaLevel level,
                       std::vector<uint8_t>& packed);

// The patch that makes `new_data` from `old_data`; none where there is no
// delta to make (an empty file, or one of 2 GiB): then `limits.progress` is
// told nothing for an empty file, and the new size for a large one. Fails (Refused)
// only where the system's hash or the coder's memory does.
platform::Result<std::optional<Patch>> EncodePatch(const uint8_t* old_data, size_t old_size,
                                                   const uint8_t* new_data, size_t new_size,
                                                   const EncodeLimits& limits = {},
                                                   const PatchCoding& coding = {});

}  // namespace updater::delta
