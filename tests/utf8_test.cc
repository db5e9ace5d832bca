#include "platform/utf8.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

TEST(Utf8Test, RoundTrips) {
  for (std::u16string text :
       {std::u16string(u""), std::u16string(u"data2.dat"), std::u16string(u"『Tessaran 体験版』"),
        std::u16string(u"\U0001D11E clef"), std::u16string(u"é\u00A0")}) {
    EXPECT_EQ(platform::FromUtf8(platform::ToUtf8(text)), std::optional<std::u16string>(text));
  }
}

TEST(Utf8Test, SurrogatePairsBecomeFourBytes) {
  EXPECT_EQ(platform::ToUtf8(u"\U0001D11E"), "\xF0\x9D\x84\x9E");
}

TEST(Utf8Test, InvalidInputIsRefusedOrReplaced) {
  for (const char* bad : {"\xFF", "a\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80"}) {
    EXPECT_EQ(platform::FromUtf8(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(platform::FromUtf8Escaped("a\xFF"
                                      "b\xC3"),
            u"a\xDCFF"
            u"b\xDCC3");
  EXPECT_EQ(platform::ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

}  // namespace
