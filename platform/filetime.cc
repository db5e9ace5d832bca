#include "platform/filetime.h"

namespace platform {
namespace {
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr uint32_t kNanosecondsPerTick = 100;
}  // namespace

uint64_t FileTimeFromUnix(UnixTime time) {
  int64_t seconds = time.seconds + kFileTimeEpochOffsetSeconds;
  if (seconds < 0) return 0;
  return static_cast<uint64_t>(seconds) * kTicksPerSecond + time.nanoseconds / kNanosecondsPerTick;
}

UnixTime UnixFromFileTime(uint64_t file_time) {
  UnixTime out;
  out.seconds = static_cast<int64_t>(file_time / kTicksPerSecond) - kFileTimeEpochOffsetSeconds;
  out.nanoseconds = static_cast<uint32_t>(file_time % kTicksPerSecond) * kNanosecondsPerTick;
  return out;
}

}  // namespace platform
