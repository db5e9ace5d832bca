#include "entry/apply_mode.h"

#include "apply/installer.h"
#include "entry/product_texts.h"
#include "package/format.h"

namespace updater::entry {
namespace {

void ShowApplyBox(const char16_t* text, platform::BoxStyle style) {
  platform::ShowMessageBox(text, kProductTexts.caption, style);
}

// True when the engine executable is in `root`: any item of that name, as
// the player's own check would find it.
bool GameIsInstalled(const WString& root) {
  platform::Result<platform::Folder> folder = platform::OpenFolder(root);
  if (!folder) return false;
  platform::Result<platform::NodeKind> kind =
      platform::KindIn(*folder, kProductTexts.engine_executable, platform::Links::kFollow);
  return kind && *kind != platform::NodeKind::kMissing;
}

// Every failed update shows the same box; the debug channel says why: the
// cause, the path and the system's message.
void ReportFailure(const Failure& failure) {
  platform::DebugOutput(u"update failed: " + FailureText(failure) + u"\n");
  ShowApplyBox(kProductTexts.failed, platform::BoxStyle::kError);
}

// True only for a real Yes. A question that could not be shown (no
// display, no answer) is no consent: it ends like No, and says why.
bool PlayerSaidYes(const ProductTexts& texts) {
  int answer =
      platform::ShowMessageBox(QuestionText(texts), texts.caption, platform::BoxStyle::kQuestion);
  if (answer != platform::kIdYes && answer != platform::kIdNo) {
    platform::DebugOutput(u"update not applied: the question could not be asked\n");
  }
  return answer == platform::kIdYes;
}

}  // namespace

int ApplyPackage(const WString& self_path) {
  const ProductTexts& texts = kProductTexts;
  WString root = texts.default_install_root;
  // Held from before the question to the end: the package read is the one
  // the player was asked about, whatever is put at its name meanwhile.
  platform::Result<platform::File> package = platform::OpenOwnProgram(self_path);
  if (!GameIsInstalled(root)) {
    ShowApplyBox(texts.not_installed, platform::BoxStyle::kError);
    return kExitFailed;
  }
  if (!PlayerSaidYes(texts)) return kExitDeclined;
  if (!package) {
    ReportFailure(Fail(Cause::kCannotOpenPackage, self_path, package.status()));
    return kExitFailed;
  }
  int64_t payload_end = 0;
  switch (package::LocatePayload(*package, &payload_end)) {
    case package::LocateResult::kFound:
      break;
    case package::LocateResult::kNoPackage:
      return kExitFailed;  // a copy that carries none ends without a word
    case package::LocateResult::kCut:
      ReportFailure(Fail(Cause::kPackageCut, self_path));
      return kExitFailed;
    case package::LocateResult::kDamaged:
      ReportFailure(Fail(Cause::kBadTrailer, self_path));
      return kExitFailed;
  }
  Failure failure = apply::InstallPackage(*package, payload_end, root, texts.install_lock);
  if (failure.failed()) {
    ReportFailure(failure);
    return kExitFailed;
  }
  (void)package->Close();
  ShowApplyBox(texts.completed, platform::BoxStyle::kInformation);
  return kExitCompleted;
}

}  // namespace updater::entry
