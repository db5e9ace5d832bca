#include "entry/product_texts.h"

#include <gtest/gtest.h>

namespace {

TEST(ProductTextsTest, EmptyVersionLabelSelectsThePlainQuestion) {
  EXPECT_EQ(std::u16string(QuestionText(kProductTexts)),
            u"『Tessaran 体験版(1.0.1.0)』への更新を行いますか？");
  ProductTexts unversioned = kProductTexts;
  unversioned.version_label = u"";
  EXPECT_EQ(std::u16string(QuestionText(unversioned)), u"『Tessaran 体験版』を更新しますか？");
}

}  // namespace
