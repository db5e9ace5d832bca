#include "entry/product_texts.h"

#include "product/product.h"

namespace updater::entry {

const ProductTexts kProductTexts = {
    u"『" UPDATER_TITLE u"』更新プログラム",
    u"『" UPDATER_TITLE u"』がインストールされていません。",
    u"『" UPDATER_TITLE u"』を更新しますか？",
    u"『" UPDATER_TITLE,
    u"『" UPDATER_SHORT_TITLE,
    u"』への更新を行いますか？",
    u"』の更新が失敗しました。",
    u"』の更新が完了しました。",
    UPDATER_VERSION_LABEL,
    UPDATER_ENGINE_PROGRAM,
    u".\\",
    product::kInstallLock,
    u"src",
    u"-l",
    u"出力ファイルが開けません。",
    u"ERROR",
    u"ファイルを読み込めません。\n",
    u"パスが長すぎます。\n",
    u"ファイル名が使えません。\n",
    u"更新パッケージが 2 GB を超えます。\n",
    u"通常のファイルではありません。\n",
    u"ファイルの日時が範囲外です。\n",
};

WString VersionedText(const char16_t* open, const WString& label, const char16_t* close) {
  WString text = open;
  text += label;
  text += close;
  return text;
}

WString QuestionText(const ProductTexts& texts, const WString& label) {
  return label.empty() ? WString(texts.question_plain)
                       : VersionedText(texts.versioned_open, label, texts.question_close);
}

}  // namespace updater::entry
