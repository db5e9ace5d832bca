#include "entry/product_texts.h"

namespace updater::entry {

const ProductTexts kProductTexts = {
    u"『Tessaran 体験版』更新プログラム",
    u"『Tessaran 体験版』がインストールされていません。",
    u"『Tessaran 体験版(1.0.1.0)』への更新を行いますか？",
    u"『Tessaran 体験版』を更新しますか？",
    u"『Tessaran 体験版(1.0.1.0)』の更新が失敗しました。",
    u"『Tessaran(1.0.1.0)』の更新が完了しました。",
    u"(1.0.1.0)",
    u"tavro.exe",
    u".\\",
    u"TessaranUpdate",
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

const char16_t* QuestionText(const ProductTexts& texts) {
  return texts.version_label[0] != 0 ? texts.question_versioned : texts.question_plain;
}

}  // namespace updater::entry
