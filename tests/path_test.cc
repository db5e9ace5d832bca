// The path rules callers rely on; the same table holds for both platforms.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

TEST(PathTest, AppendPath) {
  struct Case {
    WString base, more;
    std::optional<WString> joined;
  } cases[] = {
      {u".\\", u"tavro.exe", WString(u"tavro.exe")},
      {u".\\", u".\\sub\\a.dat", WString(u"sub\\a.dat")},
      {u".\\", u".\\newdir\\deeper\\x.dat", WString(u"newdir\\deeper\\x.dat")},
      {u"C:\\game", u"src", WString(u"C:\\game\\src")},
      {u"C:\\game\\", u"src", WString(u"C:\\game\\src")},
      {u"C:\\game", u"\\src", WString(u"C:\\game\\src")},
      {u"C:\\game\\src", u"sub\\.\\a.dat", WString(u"C:\\game\\src\\sub\\a.dat")},
      {u"C:\\game\\src", u"..\\b.dat", WString(u"C:\\game\\b.dat")},
      {u"C:\\game", u"日本語\\データ.dat", WString(u"C:\\game\\日本語\\データ.dat")},
      {u"C:\\g", WString(254, u'a'), WString(u"C:\\g\\") + WString(254, u'a')},
      {u"C:\\g", WString(255, u'a'), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::AppendPath(c.base, c.more), c.joined)
        << std::string(c.more.begin(), c.more.end());
  }
}

TEST(PathTest, RelativePathTo) {
  struct Case {
    WString dir, file, relative;
  } cases[] = {
      {u"C:\\work\\src", u"C:\\work\\src\\data2.dat", u".\\data2.dat"},
      {u"C:\\work\\src", u"C:\\work\\src\\sub\\a.dat", u".\\sub\\a.dat"},
      {u"C:\\work\\src", u"C:\\work\\src\\表\\深い\\x.dat", u".\\表\\深い\\x.dat"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::RelativePathTo(c.dir, c.file), std::optional<WString>(c.relative));
  }
}

}  // namespace
