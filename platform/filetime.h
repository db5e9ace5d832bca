// Conversions between FILETIME and the POSIX seconds-and-nanoseconds form.
#pragma once

#include <cstdint>
#include <optional>

namespace updater::platform {

// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr int64_t kFileTimeEpochOffsetSeconds = 11644473600;

struct UnixTime {
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
  bool operator==(const UnixTime& o) const {
    return seconds == o.seconds && nanoseconds == o.nanoseconds;
  }
};

// The last FILETIME Windows can show as a date: 30827-12-31 23:59:59.9999999.
inline constexpr uint64_t kMaxFileTime = 9223149887999999999u;

// FILETIME of a POSIX time, truncated to 100 ns; none before 1601 or after kMaxFileTime.
std::optional<uint64_t> FileTimeFromUnix(UnixTime time);

// POSIX time of a FILETIME, exact.
UnixTime UnixFromFileTime(uint64_t file_time);

}  // namespace updater::platform
