#include "platform/filetime.h"

#include <gtest/gtest.h>

namespace {

using platform::FileTimeFromUnix;
using platform::UnixFromFileTime;
using platform::UnixTime;

TEST(FileTimeTest, KnownPoints) {
  struct Case {
    UnixTime unix_time;
    uint64_t file_time;
  } cases[] = {
      {{0, 0}, 116444736000000000u},
      {{1, 999999900}, 116444736019999999u},
      {{-11644473600, 0}, 0},
      {{1700000000, 123456700}, 133444736001234567u},
      {{-1, 500000000}, 116444735995000000u},
      {{910670515199, 999999900}, platform::kMaxFileTime},  // 30827-12-31 23:59:59.9999999
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileTimeFromUnix(c.unix_time), c.file_time);
    EXPECT_EQ(UnixFromFileTime(c.file_time), c.unix_time);
  }
}

TEST(FileTimeTest, RoundTripIsExactTo100Nanoseconds) {
  for (uint64_t t :
       {uint64_t{1}, uint64_t{9999999}, uint64_t{133000000001234567}, platform::kMaxFileTime}) {
    EXPECT_EQ(FileTimeFromUnix(UnixFromFileTime(t)), t);
  }
}

TEST(FileTimeTest, SubTickNanosecondsAreTruncated) {
  EXPECT_EQ(FileTimeFromUnix({0, 199}), 116444736000000001u);
}

TEST(FileTimeTest, TimesAFileTimeCannotHoldHaveNone) {
  for (int64_t seconds : {int64_t{-11644473601}, int64_t{910670515200}, int64_t{1000000000000},
                          INT64_MAX, INT64_MIN}) {
    EXPECT_EQ(FileTimeFromUnix({seconds, 0}), std::nullopt) << seconds;
  }
}

}  // namespace
