#include "entry/apply_mode.h"

#include "apply/installer.h"
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

}  // namespace

bool ApplyPackage(const WString& self_path) {
  const ProductTexts& texts = kProductTexts;
  WString root = texts.default_install_root;
  if (!GameIsInstalled(root)) {
    ShowApplyBox(texts.not_installed, platform::BoxStyle::kError);
    return false;
  }
  if (platform::ShowMessageBox(QuestionText(texts), texts.caption, platform::BoxStyle::kQuestion) ==
      platform::kIdNo) {
    return true;
  }
  g_installRoot = root;
  platform::File package = platform::OpenFile(self_path, "rb");
  int64_t payload_end = 0;
  LocateResult located = package ? LocatePayload(package, &payload_end) : LocateResult::kDamaged;
  if (located == LocateResult::kNoPackage) return false;
  if (located == LocateResult::kDamaged || !InstallPackage(package, payload_end, root)) {
    ShowApplyBox(texts.failed, platform::BoxStyle::kError);
    return false;
  }
  package.Close();
  ShowApplyBox(texts.completed, platform::BoxStyle::kInformation);
  return true;
}
