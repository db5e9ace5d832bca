#include "package/entry_name.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

std::string Narrow(const WString& s) { return std::string(s.begin(), s.end()); }

TEST(EntryNameTest, AcceptsWhatBuildModeWrites) {
  for (const char16_t* name :
       {u".\\data2.dat", u".\\sub\\a.dat", u"plain.dat", u".\\日本語\\データ.dat", u".\\a..b",
        u".\\...x", u".\\sub\\.\\a.dat", u".\\CONSOLE.txt", u".\\COM10", u".\\LPT0.dat",
        u".\\.hidden", u".\\a b\\c"}) {
    EXPECT_TRUE(IsAcceptableEntryName(name)) << Narrow(name);
  }
}

TEST(EntryNameTest, RefusesNamesThatLeaveTheRootOrMeanSomethingElseOnWindows) {
  // clang-format off
  const char16_t* refused[] = {
      u"", u".", u".\\", u".\\.", u"..", u".\\..\\x", u"..\\x", u"a\\..\\..\\x", u"\\x",
      u"\\\\server\\share\\x", u"\\\\?\\C:\\x", u"\\\\.\\PhysicalDrive0", u"C:x", u"C:\\x",
      u".\\a:stream", u".\\a/../../x", u"/etc/x", u".\\a\\\\b", u".\\a\\", u".\\a\x01",
      u".\\a<b", u".\\a>b", u".\\a\"b", u".\\a|b", u".\\a?b", u".\\a*b", u".\\trailing.",
      u".\\trailing ", u".\\dir.\\x", u".\\dir \\x", u".\\CON", u".\\con.txt",
      u".\\sub\\Nul.tar.gz", u".\\AUX", u".\\prn.x", u".\\COM1", u".\\lpt9.log", u".\\COM\u00B9",
      u".\\LPT\u00B3.txt", u".\\CONIN$", u".\\conout$.x", u".\\CON .txt", u".\\lone\xD800.dat",
      u".\\lone\xDC00", u".\\.update-staging\\x", u".\\.Update-Staging"};
  // clang-format on
  for (const char16_t* name : refused) {
    EXPECT_FALSE(IsAcceptableEntryName(name)) << Narrow(name);
  }
}

TEST(EntryNameTest, FoldCaseMatchesWindowsNameComparison) {
  struct Case {
    const char16_t *lower, *upper;
  } cases[] = {
      {u"abc\u00E9\u03B1\u0434\uFF41XYZ", u"ABC\u00C9\u0391\u0414\uFF21XYZ"},
      {u"日本語.dat", u"日本語.DAT"},
      {u"\u0101\u00FF\u03C2\u03AC\u0463", u"\u0100\u0178\u03A3\u0386\u0462"},  // āÿςάѣ
      {u"\u0561\u10D0\u24D0\u2C30\uA641", u"\u0531\u1C90\u24B6\u2C00\uA640"},
      {u"\xD83D\xDE00\u00D7\u00F7", u"\xD83D\xDE00\u00D7\u00F7"},  // unchanged
  };
  for (const Case& c : cases) EXPECT_EQ(FoldCase(c.lower), c.upper) << Narrow(c.lower);
}

TEST(EntryNameTest, PackagePathsRejectCollisions) {
  PackagePaths paths;
  EXPECT_TRUE(AddPackagePath(paths, u"sub\\a.dat"));
  EXPECT_TRUE(AddPackagePath(paths, u"sub\\b.dat"));
  EXPECT_FALSE(AddPackagePath(paths, u"SUB\\A.DAT"));         // same file ignoring case
  EXPECT_FALSE(AddPackagePath(paths, u"Sub"));                // a file where a folder is
  EXPECT_FALSE(AddPackagePath(paths, u"sub\\b.dat\\x.dat"));  // a folder where a file is
  EXPECT_TRUE(AddPackagePath(paths, u"subway.dat"));
  // A removed file may be where a written one needs a folder, or below a
  // written file (a type change between releases); never a path written or
  // removed already.
  EXPECT_TRUE(AddPackagePath(paths, u"Sub", true));
  EXPECT_TRUE(AddPackagePath(paths, u"subway.dat\\old.dat", true));
  EXPECT_FALSE(AddPackagePath(paths, u"SUBWAY.DAT", true));
  EXPECT_FALSE(AddPackagePath(paths, u"sub", true));
  EXPECT_FALSE(AddPackagePath(paths, u"SUB"));
}

}  // namespace
