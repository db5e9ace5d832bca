#include "platform/filetime.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

using platform::FileTimeFromUnix;
using platform::UnixFromFileTime;
using platform::UnixTime;

// Each point converts both ways; nanoseconds below a 100 ns tick are dropped.
TEST(FileTimeTest, KnownPointsConvertBothWays) {
  struct Case {
    UnixTime unix_time;
    uint64_t file_time;
  } cases[] = {
      {{0, 0}, 116444736000000000u},
      {{1, 999999900}, 116444736019999999u},
      {{-11644473600, 0}, 0},
      {{-11644473600, 100}, 1},
      {{1700000000, 123456700}, 133444736001234567u},
      {{-1, 500000000}, 116444735995000000u},
      {{910670515199, 999999900}, platform::kMaxFileTime},  // 30827-12-31 23:59:59.9999999
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileTimeFromUnix(c.unix_time), c.file_time);
    EXPECT_EQ(UnixFromFileTime(c.file_time), c.unix_time);
  }
  EXPECT_EQ(FileTimeFromUnix({0, 199}), 116444736000000001u);
  for (int64_t seconds : {int64_t{-11644473601}, int64_t{910670515200}, int64_t{1000000000000},
                          INT64_MAX, INT64_MIN}) {
    EXPECT_EQ(FileTimeFromUnix({seconds, 0}), std::nullopt) << seconds;  // no FILETIME holds it
  }
}

}  // namespace
