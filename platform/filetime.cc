#include "platform/filetime.h"

namespace updater::platform {
namespace {
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr uint32_t kNanosecondsPerTick = 100;
}  // namespace

std::optional<uint64_t> FileTimeFromUnix(UnixTime time) {
  constexpr int64_t kMaxSeconds = static_cast<int64_t>(kMaxFileTime / kTicksPerSecond);
  // Compared before adding, so that no sum can overflow.
  if (time.seconds < -kFileTimeEpochOffsetSeconds ||
      time.seconds > kMaxSeconds - kFileTimeEpochOffsetSeconds) {
    return std::nullopt;
  }
  uint64_t seconds = static_cast<uint64_t>(time.seconds + kFileTimeEpochOffsetSeconds);
  return seconds * kTicksPerSecond + time.nanoseconds / kNanosecondsPerTick;
}

UnixTime UnixFromFileTime(uint64_t file_time) {
  UnixTime out;
  out.seconds = static_cast<int64_t>(file_time / kTicksPerSecond) - kFileTimeEpochOffsetSeconds;
  out.nanoseconds = static_cast<uint32_t>(file_time % kTicksPerSecond) * kNanosecondsPerTick;
  return out;
}

}  // namespace updater::platform
