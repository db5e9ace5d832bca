#include "apply/update_applier.h"

#include "apply/entry_reader.h"
#include "apply/package_check.h"
#include "entry/process_state.h"
#include "entry/product_texts.h"
#include "package/format.h"

namespace {

void ShowApplyBox(const char16_t* text, platform::BoxStyle style) {
  platform::ShowMessageBox(text, kProductTexts.caption, style);
}

bool GameIsInstalled(const WString& root) {
  std::optional<WString> engine = platform::AppendPath(root, kProductTexts.engine_executable);
  return engine && platform::FileExists(*engine);
}

// Installs every record; false when one of them fails.
bool ApplyRecords(platform::File& package, int64_t payload_end) {
  for (;;) {
    switch (ReadEntry(package, payload_end)) {
      case ReadResult::kContinue:
        continue;
      case ReadResult::kEnd:
        return true;
      case ReadResult::kFail:
        return false;
    }
  }
}

}  // namespace

void ApplyPackage(const WString& self_path) {
  const ProductTexts& texts = kProductTexts;
  WString root = texts.default_install_root;
  if (!GameIsInstalled(root)) {
    ShowApplyBox(texts.not_installed, platform::BoxStyle::kError);
    return;
  }
  if (platform::ShowMessageBox(QuestionText(texts), texts.caption, platform::BoxStyle::kQuestion) ==
      platform::kIdNo) {
    return;
  }
  g_installRoot = root;
  platform::File package = platform::OpenFile(self_path, "rb");
  int64_t payload_end = 0;
  LocateResult located = package ? LocatePayload(package, &payload_end) : LocateResult::kDamaged;
  if (located == LocateResult::kNoPackage) return;
  // Nothing is written unless the whole package passes the check.
  if (located == LocateResult::kDamaged || !CheckPackage(package, payload_end, root) ||
      !ApplyRecords(package, payload_end)) {
    ShowApplyBox(texts.failed, platform::BoxStyle::kError);
    return;
  }
  package.Close();
  ShowApplyBox(texts.completed, platform::BoxStyle::kInformation);
}
