#include "delta/lzma_encoder.h"

#include <algorithm>
#include <cstring>

#include "delta/lzma_sdk.h"

namespace updater::delta {
namespace {

struct Context {
  const LzmaInput& input;
  LzmaStream& out;
  size_t limit;
  LoweredLimit lowered;
};

int Read(void* context, void* buffer, size_t* size) {
  return static_cast<Context*>(context)->input(static_cast<uint8_t*>(buffer), *size) ? 0 : 1;
}

int Write(void* context, const void* buffer, size_t size) {
  Context& c = *static_cast<Context*>(context);
  size_t limit = c.limit;
  if (c.lowered.to)
    limit = std::min(limit, c.lowered.to->load(std::memory_order_relaxed) + c.lowered.by);
  if (c.out.bytes.size() > limit || size > limit - c.out.bytes.size()) {
    c.out.over_limit = true;
    return 1;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  c.out.bytes.insert(c.out.bytes.end(), bytes, bytes + size);
  return 0;
}

// The fewest bytes a stream codes with its binary tree's match finder on
// threads of its own (its hashing and its tree beside the coder's parsing):
// two solid blocks of 50 MB side by side on two cores took 20.9 s so against
// 26.1 s on the coder's thread (the SDK 9.22 before: 35.3 s), in fewer
// instructions; a small stream would spend more starting the threads.
constexpr uint64_t kThreadedMatching = 4 << 20;

}  // namespace

uint32_t LzmaWindow(LzmaLevel level) {
  switch (level) {
    case LzmaLevel::kFast:
      return 4u << 20;
    case LzmaLevel::kNormal:
      return 64u << 20;
    case LzmaLevel::kMax:
      break;
  }
  return package::kMaxLzmaDictionary;
}

size_t LzmaCoderMemory(LzmaLevel level, uint64_t size) {
  // Measured at a 64 MiB window: 726 MiB with the SDK's hash, 918 MiB with
  // a bucket a place (one of 3 times 2^n places gets 4 times 2^n buckets).
  uint64_t window = std::min<uint64_t>(LzmaWindow(level), std::max<uint64_t>(size, 1 << 20));
  return static_cast<size_t>(15 * window);
}

bool EncodeLzma(LzmaLevel level, const package::LzmaProps& contexts, uint64_t size_hint,
                const LzmaInput& input, LzmaStream& out, uint32_t largest_window,
                size_t largest_output, LzmaPreset preset, LoweredLimit lowered) {
  uint32_t window = std::min(LzmaWindow(level), largest_window);
  if (preset.size > window) {
    preset.data += preset.size - window;
    preset.size = window;
  }
  updater_lzma_settings settings{};
  settings.lc = contexts.lc;
  settings.lp = contexts.lp;
  settings.pb = contexts.pb;
  settings.dictionary = window;
  settings.fast = level == LzmaLevel::kFast;
  settings.fast_bytes = level == LzmaLevel::kMax ? 273 : level == LzmaLevel::kNormal ? 64 : 32;
  settings.size_hint = static_cast<unsigned>(std::min<uint64_t>(size_hint, 0xFFFFFFFFu));
  settings.preset = preset.data;
  settings.preset_size = preset.size;
  settings.match_threads = !settings.fast && size_hint + preset.size >= kThreadedMatching ? 2 : 1;
  out.bytes.clear();
  out.over_limit = false;
  out.props = contexts;
  Context context{input, out, largest_output, lowered};
  unsigned used = 0;
  if (updater_lzma_encode(&settings, Read, Write, &context, &used) != 0) return false;
  out.props.dictionary = std::min<uint32_t>(used, window);
  return true;
}

bool EncodeLzma(LzmaLevel level, const package::LzmaProps& contexts, const uint8_t* data,
                size_t size, LzmaStream& out, uint32_t largest_window, size_t largest_output,
                LzmaPreset preset) {
  size_t at = 0;
  LzmaInput input = [&](uint8_t* buffer, size_t& wanted) {
    wanted = std::min(wanted, size - at);
    if (wanted > 0) std::memcpy(buffer, data + at, wanted);
    at += wanted;
    return true;
  };
  return EncodeLzma(level, contexts, size, input, out, largest_window, largest_output, preset);
}

}  // namespace updater::delta
