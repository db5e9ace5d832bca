#include "package/entry_name.h"

#include <gtest/gtest.h>

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
  for (const char16_t* name : {u"",
                               u".",
                               u".\\",
                               u".\\.",
                               u"..",
                               u".\\..\\x",
                               u"..\\x",
                               u"a\\..\\..\\x",  // parents
                               u"\\x",
                               u"\\\\server\\share\\x",
                               u"\\\\?\\C:\\x",
                               u"\\\\.\\PhysicalDrive0",  // rooted
                               u"C:x",
                               u"C:\\x",
                               u".\\a:stream",
                               u".\\a/../../x",
                               u"/etc/x",  // drives, "/"
                               u".\\a\\\\b",
                               u".\\a\\",  // empty parts
                               u".\\a\x01",
                               u".\\a<b",
                               u".\\a>b",
                               u".\\a\"b",
                               u".\\a|b",
                               u".\\a?b",
                               u".\\a*b",
                               u".\\trailing.",
                               u".\\trailing ",
                               u".\\dir.\\x",
                               u".\\dir \\x",  // trailing
                               u".\\CON",
                               u".\\con.txt",
                               u".\\sub\\Nul.tar.gz",
                               u".\\AUX",
                               u".\\prn.x",  // devices
                               u".\\COM1",
                               u".\\lpt9.log",
                               u".\\COM\u00B9",
                               u".\\LPT\u00B3.txt",
                               u".\\CONIN$",
                               u".\\conout$.x",
                               u".\\CON .txt"}) {
    EXPECT_FALSE(IsAcceptableEntryName(name)) << Narrow(name);
  }
}

TEST(EntryNameTest, FoldCaseMatchesWindowsNameComparison) {
  EXPECT_EQ(FoldCase(u"abc\u00E9\u03B1\u0434\uFF41XYZ"), u"ABC\u00C9\u0391\u0414\uFF21XYZ");
  EXPECT_EQ(FoldCase(u"日本語.dat"), u"日本語.DAT");
}

TEST(EntryNameTest, PackagePathsRejectCollisions) {
  PackagePaths paths;
  EXPECT_TRUE(AddPackagePath(paths, u"sub\\a.dat"));
  EXPECT_TRUE(AddPackagePath(paths, u"sub\\b.dat"));
  EXPECT_FALSE(AddPackagePath(paths, u"SUB\\A.DAT"));         // same file ignoring case
  EXPECT_FALSE(AddPackagePath(paths, u"Sub"));                // a file where a folder is
  EXPECT_FALSE(AddPackagePath(paths, u"sub\\b.dat\\x.dat"));  // a folder where a file is
  EXPECT_TRUE(AddPackagePath(paths, u"subway.dat"));
}

}  // namespace
