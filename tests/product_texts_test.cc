#include "entry/product_texts.h"

#include <gtest/gtest.h>

#include "entry/dispatch.h"

namespace {

TEST(ProductTextsTest, EmptyVersionLabelSelectsThePlainQuestion) {
  EXPECT_EQ(std::u16string(QuestionText(kProductTexts)),
            u"『Tessaran 体験版(1.0.1.0)』への更新を行いますか？");
  ProductTexts unversioned = kProductTexts;
  unversioned.version_label = u"";
  EXPECT_EQ(std::u16string(QuestionText(unversioned)), u"『Tessaran 体験版』を更新しますか？");
}

TEST(DispatchTest, OnlyDashLWithOneOutputSelectsBuildMode) {
  struct Case {
    std::vector<WString> args;
    bool build;
  } cases[] = {
      {{u"updater", u"-l", u"out.exe"}, true},
      {{u"updater", u"-L", u"out.exe"}, true},
      {{u"updater", u"/l", u"out.exe"}, false},
      {{u"updater", u"-l", u"out.exe", u"extra"}, false},
      {{u"updater", u"-l"}, false},
      {{u"updater"}, false},
      {{u"updater", u"-x", u"out.exe"}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsBuildCommand(c.args), c.build) << c.args.size();
}

}  // namespace
