#include "apply/entry_name.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryNameTest, AcceptsWhatBuildModeWrites) {
  for (const char16_t* name : {u".\\data2.dat", u".\\sub\\a.dat", u"plain.dat",
                               u".\\日本語\\データ.dat", u".\\a..b", u".\\...x"}) {
    EXPECT_TRUE(IsAcceptableEntryName(name)) << std::u16string(name).size();
  }
}

TEST(EntryNameTest, RefusesNamesThatLeaveTheRoot) {
  for (const char16_t* name :
       {u"", u"..", u".\\..\\x", u"..\\x", u"a\\..\\..\\x", u"\\x", u"\\\\server\\share\\x", u"C:x",
        u"C:\\x", u".\\a/../../x", u"/etc/x", u"\\\\?\\C:\\x"}) {
    EXPECT_FALSE(IsAcceptableEntryName(name)) << std::u16string(name).size();
  }
}

}  // namespace
