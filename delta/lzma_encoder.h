// Codes bytes as one raw LZMA stream (no header, no end marker), as the
// updater's decoder reads them (package/lzma_decoder.h). The coding is the
// LZMA SDK's encoder, single-threaded: the same input and settings give the
// same bytes on every platform and any number of threads around it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "package/lzma_decoder.h"

namespace updater::delta {

// How hard a build works: each level's window and match search.
enum class LzmaLevel { kFast, kNormal, kMax };

// The window a level codes with, at most.
uint32_t LzmaWindow(LzmaLevel level);

// About the most memory coding `size` bytes at `level` takes: the window
// and the match finder's tables over it.
size_t LzmaCoderMemory(LzmaLevel level, uint64_t size);

struct LzmaStream {
  package::LzmaProps props;  // its window the one it needs
  std::vector<uint8_t> bytes;
  bool over_limit = false;  // coding stopped once the bytes passed the largest asked for
};

// Fills `buffer` with up to `size` bytes, setting `size` to how many (0 at
// the end); false for a failed read.
using LzmaInput = std::function<bool(uint8_t* buffer, size_t& size)>;

// Bytes a stream's decoder holds in its window before the stream starts,
// and which the stream may copy from (of them, as many as the window takes
// from their end).
struct LzmaPreset {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// A bound on a stream's coded bytes that another thread may lower while it
// is coded: `*to` plus `by`.
struct LoweredLimit {
  const std::atomic<size_t>* to = nullptr;
  size_t by = 0;
};

// Codes all that `input` gives (about `size_hint` bytes) at `level`, with
// the literal and position bits of `contexts`, into `out`, after `preset`.
// False when the input failed or memory ran out, or (`out.over_limit`) as
// soon as the coded bytes pass `largest_output` (or `lowered`), where
// coding on would be wasted.
bool EncodeLzma(LzmaLevel level, const package::LzmaProps& contexts, uint64_t size_hint,
                const LzmaInput& input, LzmaStream& out,
                uint32_t largest_window = package::kMaxLzmaDictionary,
                size_t largest_output = SIZE_MAX, LzmaPreset preset = {},
                LoweredLimit lowered = {});

// The same for bytes in memory.
bool EncodeLzma(LzmaLevel level, const package::LzmaProps& contexts, const uint8_t* data,
                size_t size, LzmaStream& out, uint32_t largest_window = package::kMaxLzmaDictionary,
                size_t largest_output = SIZE_MAX, LzmaPreset preset = {});

}  // namespace updater::delta
