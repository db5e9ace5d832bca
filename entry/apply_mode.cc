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

// The debug channel's line for a failed update: the step, the path and the
// system's message.
WString FailureLine(const InstallFailure& failure) {
  WString line = u"update failed: ";
  line.append(failure.step).append(u" ").append(failure.path);
  if (failure.os_error != 0) line.append(u": ").append(platform::ErrorMessage(failure.os_error));
  return line.append(u"\n");
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
  InstallFailure failure{u"reading the package", self_path, 0};
  if (located == LocateResult::kDamaged ||
      !InstallPackage(package, payload_end, root, nullptr, &failure)) {
    platform::DebugOutput(FailureLine(failure));
    ShowApplyBox(texts.failed, platform::BoxStyle::kError);
    return false;
  }
  package.Close();
  ShowApplyBox(texts.completed, platform::BoxStyle::kInformation);
  return true;
}
