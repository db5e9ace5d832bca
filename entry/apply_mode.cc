#include "entry/apply_mode.h"

#include "apply/installer.h"
#include "entry/product_texts.h"
#include "package/format.h"
#include "package/record_reader.h"

namespace updater::entry {
namespace {

void ShowApplyBox(const WString& text, platform::BoxStyle style) {
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
[[gnu::noinline]] void ReportFailure(const WString& label, const Failure& failure) {
  platform::DebugOutput(u"update failed: " + FailureText(failure) + u"\n");
  const ProductTexts& texts = kProductTexts;
  ShowApplyBox(VersionedText(texts.versioned_open, label, texts.failed_close),
               platform::BoxStyle::kError);
}

// What a finished install did, for the debug channel.
void ReportDone(const apply::InstallReport& report) {
  const int counts[] = {report.written, report.removed, report.current};
  const char16_t* const words[] = {u" written, ", u" removed, ", u" already current"};
  WString line = u"update completed: ";
  for (int i = 0; i < 3; ++i) line.append(Decimal(counts[i])).append(words[i]);
  // Files a removal left because they are not the version it removes.
  if (!report.kept.empty()) {
    line += u"; kept " + Decimal(report.kept.size()) +
            (report.kept.size() == 1 ? u" changed file:" : u" changed files:");
  }
  for (const WString& name : report.kept) line.append(u" ").append(name);
  apply::AppendMatchedReleases(line, report);
  platform::DebugOutput(line + u"\n");
}

// True only for a real Yes. A question that could not be shown (no
// display, no answer) is no consent: it ends like No, and says why.
bool PlayerSaidYes(const ProductTexts& texts, const WString& label) {
  int answer = platform::ShowMessageBox(QuestionText(texts, label), texts.caption,
                                        platform::BoxStyle::kQuestion);
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
  // Located before the question, which names the version the update installs.
  int64_t payload_end = 0;
  package::LocateResult located =
      package ? package::LocatePayload(*package, &payload_end) : package::LocateResult::kNoPackage;
  std::optional<WString> named;
  if (located == package::LocateResult::kFound)
    named = package::PeekVersionLabel(*package, payload_end);
  WString label = named ? *named : WString(texts.version_label);
  // Without its own file (another file at its name, or none) there is
  // nothing to ask about: the failure box, before the question.
  if (!package) {
    ReportFailure(label, Fail(Cause::kCannotOpenPackage, self_path, package.status()));
    return kExitFailed;
  }
  // Nor with a package that cannot be read: a download cut short, a
  // trailer that does not fit, records or a program that fail their check.
  if (located != package::LocateResult::kFound && located != package::LocateResult::kNoPackage) {
    ReportFailure(label, Fail(package::CauseOf(located), self_path, package->status()));
    return kExitFailed;
  }
  if (!PlayerSaidYes(texts, label)) return kExitDeclined;
  // A copy that carries none ends without a word.
  if (located == package::LocateResult::kNoPackage) return kExitFailed;
  apply::InstallReport report;
  Failure failure =
      apply::InstallPackage(*package, payload_end, root, texts.install_lock, nullptr, &report);
  if (failure.failed()) {
    ReportFailure(label, failure);
    return kExitFailed;
  }
  (void)package->Close();
  ReportDone(report);
  ShowApplyBox(VersionedText(texts.completed_open, label, texts.completed_close),
               platform::BoxStyle::kInformation);
  return kExitCompleted;
}

}  // namespace updater::entry
