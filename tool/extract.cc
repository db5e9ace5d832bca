// `updatepkg extract`: the files of an update installed into a folder by
// the updater's own staged, all-or-nothing install.
#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "apply/installer.h"
#include "package/format.h"
#include "product/product.h"
#include "tool/commands.h"
#include "tool/progress.h"
#include "tool/report.h"

namespace updater::tool {
namespace {

// Where the install's time went, where a timing build measured it.
void PrintPhases(apply::PhaseTimes phases) {
  double total = 0;
  for (double seconds : phases.seconds) total += seconds;
  if (total == 0) return;
  phases.seconds[apply::kInflate] -= phases.seconds[apply::kWrite];  // timed inside it
  std::string line;
  for (int i = 0; i < apply::kPhaseCount; ++i) {
    line +=
        fmt::format("{}{} {:.3f}", i == 0 ? "" : ", ", apply::kPhaseNames[i], phases.seconds[i]);
  }
  fmt::print("phases (s): {}\n", line);
}

}  // namespace

int RunExtract(const ExtractRequest& request) {
  const std::string& update = request.update;
  const std::string& dir = request.dir;
  if (int code = CheckPathArgument("UPDATE", update, PathKind::kFile)) return code;
  WString typed = PathArgument(dir);
  if (!platform::GetFileId(typed)) {
    platform::Status made = platform::MakeFolder(typed);
    if (!made) return Report(dir, Fail(Cause::kCreateFolder, typed, made));
  }
  if (int code = CheckPathArgument("DIR", dir, PathKind::kFolder)) return code;
  // Joined to entry names only in its real form: "..\\dest" as text would lose its "..".
  platform::Result<WString> resolved = platform::ResolvedPath(typed);
  if (!resolved) return Report(dir, Fail(Cause::kCreateFolder, typed, resolved.status()));
  platform::File package;
  int64_t payload_end = 0;
  Failure failure = package::OpenPackage(PathArgument(update), package, payload_end);
  if (failure.failed()) return Report(update, failure);
  Progress progress(payload_end - package.Tell());
  apply::InstallReport report;
  failure = apply::InstallPackage(
      package, payload_end, *resolved, product::kInstallLock,
      [&](int64_t done, int64_t) { progress.Update(done); }, &report);
  progress.End();
  if (failure.entry != 0) return Report(update, failure);  // the package is at fault
  if (failure.failed()) {
    failure.path = platform::DisplayPath(failure.path);
    return PrintFault(dir, Utf8(FailureText(failure)) + " (nothing was changed)");
  }
  std::string kept;
  for (const WString& name : report.kept) kept += " " + Utf8(name);
  if (!kept.empty()) {
    kept = "; kept " +
           Count(static_cast<int64_t>(report.kept.size()), "changed file:", "changed files:") +
           kept;
  }
  WString matched;  // which release the folder was, for an update from several
  apply::AppendMatchedReleases(matched, report);
  fmt::print("{}: {} written, {} removed, {} already current{}{}\n", dir,
             Count(report.written, "file", "files"), report.removed, report.current, kept,
             Utf8(matched));
  PrintPhases(report.phases);
  return kOk;
}

}  // namespace updater::tool
