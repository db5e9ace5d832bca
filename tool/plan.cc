// `updatepkg plan`: a dry run of an update against a game folder. It reads
// the folder as the updater would and prints, file by file, what the update
// would do there, writing nothing.
#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "apply/forecast.h"
#include "apply/installer.h"
#include "apply/record_stager.h"
#include "apply/staging.h"
#include "package/entry_name.h"
#include "package/package_index.h"
#include "package/record_reader.h"
#include "platform/platform.h"
#include "tool/commands.h"
#include "tool/report.h"

namespace updater::tool {
namespace {

using apply::Action;
using apply::Forecast;

constexpr int kActions = static_cast<int>(Action::kFail) + 1;

// The word for each action, in the order of Action.
const char* ActionWord(Action action) {
  static const char* const kWords[kActions] = {"add",    "replace", "patch",   "whole",
                                               "remove", "keep",    "current", "fail"};
  return kWords[static_cast<int>(action)];
}

// The names of `releases` (a bit each) in `labels`: "1.0 or 2.0".
std::string ReleasesNamed(uint32_t releases, const std::vector<WString>& labels) {
  return fmt::format("{}", fmt::join(ReleaseNames(releases, labels), " or "));
}

struct Row {
  std::string name, action, detail;
};

// A failure in words, its path as the system writes it.
std::string FailureWords(Failure failure) {
  failure.path = platform::DisplayPath(failure.path);
  return Utf8(FailureText(failure));
}

// What `forecast` says of `record`, in a few words after its action.
std::string Detail(const package::Record& record, const Forecast& forecast,
                   const std::vector<WString>& labels) {
  if (forecast.action == Action::kFail) {
    std::string text = FailureWords(forecast.failure);
    if (record.kind != package::RecordKind::kChoice) return text;
    // What it expected: each version with its size and the releases that have it.
    for (int i = 0; i < record.version_count; ++i) {
      const package::Version& v = record.versions[i];
      text += fmt::format("{} {} of {} bytes", i == 0 ? "; expected" : " or",
                          Utf8(record.old_names[i]), v.size);
      if (!labels.empty()) text += " (" + ReleasesNamed(v.releases, labels) + ")";
    }
    return text;
  }
  std::string detail;
  if (forecast.releases != 0 && !labels.empty()) {
    detail = "from " + ReleasesNamed(forecast.releases, labels);
  }
  if (forecast.action == Action::kPatch && record.is_delta() && record.old_name != record.name) {
    detail = "from " + Utf8(record.old_name);
  }
  if (forecast.action == Action::kWhole) detail = "matches no version patched: repaired";
  if (!forecast.in_way.empty()) {
    detail += (detail.empty() ? "" : "; ") + std::string(forecast.in_way_folder
                                                             ? "in place of the folder "
                                                             : "its folder in place of the file ");
    detail += Utf8(forecast.in_way);
  }
  if (forecast.action == Action::kKeep) detail = "not a version the update removes";
  return detail;
}

// What the dry run found: a row per record, the count of each action, the
// first failure in words, and which release the folder matched.
struct Plan {
  std::vector<Row> rows;
  int counts[kActions] = {};
  std::string first_failure;
  std::string matched;  // "; from 1.0", or empty
  bool applies() const { return count(Action::kFail) == 0; }
  int count(Action action) const { return counts[static_cast<int>(action)]; }

  // Adds the row of the entry `name`, counting its action.
  void Add(const WString& name, Action action, const std::string& detail) {
    ++counts[static_cast<int>(action)];
    if (action == Action::kFail && first_failure.empty()) first_failure = detail;
    rows.push_back({Utf8(name), ActionWord(action), detail});
  }
};

// Reads what the install would read of `record`'s streams, and checks it
// as the install would, then leaves the package after them: a whole file
// inflated, the patch the install would apply applied (hashed, written
// nowhere), an "alts" record's whole file where it goes whole; nothing
// where the install reads nothing (a file already current, a removal).
Failure ReadAsTheInstallWould(platform::File& package, package::RecordReader& reader,
                              const package::Record& record, const Forecast& forecast,
                              apply::Staging& staging) {
  int64_t size = 0;
  if (record.kind == package::RecordKind::kFile) {
    return package::ReadWholeStream(reader, size);
  }
  int64_t streams = package.Tell(), end = streams + record.streams_size();
  Failure failure;
  if (forecast.action == Action::kPatch) {
    failure = apply::DryPatch(package, reader, record, forecast, staging);
  } else if (forecast.action == Action::kWhole) {
    platform::Status at = package.Seek(streams + record.patch_offset(record.patch_count), SEEK_SET);
    failure =
        at ? package::ReadWholeStream(reader, size) : reader.Fault(Cause::kPackageReadFailed, at);
    if (!failure.failed() && package.Tell() != end) failure = reader.Fault(Cause::kBadStream);
  }
  if (failure.failed()) return failure;
  platform::Status past = package.Seek(end, SEEK_SET);
  return past ? Failure() : reader.Fault(Cause::kPackageReadFailed, past);
}

// Forecasts every record of the package at the reader's position against
// `staging`; the reader's (or a stream's) failure, where the package is at fault.
Failure ForecastAll(platform::File& package, package::RecordReader& reader, apply::Staging& staging,
                    Plan& plan) {
  Failure failure;
  for (package::Record record; reader.Next(record);) {
    Forecast forecast = apply::ForecastRecord(record, staging);
    plan.Add(record.name, forecast.action, Detail(record, forecast, reader.releases()));
    failure = ReadAsTheInstallWould(package, reader, record, forecast, staging);
    if (failure.failed()) return failure;
  }
  if (reader.failure().failed()) return reader.failure();
  // What would keep a folder that a file replaces from going aside.
  Failure kept = apply::CheckFoldersMovedAside(staging);
  if (kept.failed()) {
    plan.Add(platform::RelativePathTo(staging.root, kept.path).value_or(kept.path), Action::kFail,
             FailureWords(kept));
  }
  staging.report.releases = reader.releases();
  WString matched;
  apply::AppendMatchedReleases(matched, staging.report);
  plan.matched = Utf8(matched);
  return {};
}

void PrintJson(const PlanRequest& request, const Plan& plan) {
  nlohmann::json entries = nlohmann::json::array(), totals = nlohmann::json::object();
  for (const Row& row : plan.rows) {
    entries.push_back({{"name", row.name}, {"action", row.action}, {"detail", row.detail}});
  }
  for (int action = 0; action < kActions; ++action) {
    totals[ActionWord(static_cast<Action>(action))] = plan.counts[action];
  }
  const std::string& matched = plan.matched;
  fmt::print("{}\n", nlohmann::json{{"update", request.update},
                                    {"folder", request.dir},
                                    {"applies", plan.applies()},
                                    {"matched", matched.size() > 2 ? matched.substr(2) : ""},
                                    {"entries", entries},
                                    {"totals", totals}}
                         .dump(2));
}

// A line per record and the totals; the exit code.
int PrintText(const PlanRequest& request, const Plan& plan) {
  for (const Row& row : plan.rows) {
    fmt::print("{:<8} {}{}\n", row.action, row.name,
               row.detail.empty() ? "" : "  (" + row.detail + ")");
  }
  fmt::print(
      "{}: {} to add, {} to replace, {} to patch, {} whole for a file of no version, "
      "{} to remove, {} kept, {} already current{}\n",
      request.dir, plan.count(Action::kAdd), plan.count(Action::kReplace),
      plan.count(Action::kPatch), plan.count(Action::kWhole), plan.count(Action::kRemove),
      plan.count(Action::kKeep), plan.count(Action::kCurrent), plan.matched);
  if (plan.applies()) {
    fmt::print("{}: would apply\n", request.update);
    return kOk;
  }
  return PrintFault(request.update, fmt::format("would fail ({}): {}",
                                                Count(plan.count(Action::kFail), "file", "files"),
                                                plan.first_failure));
}

}  // namespace

int RunPlan(const PlanRequest& request) {
  const std::string& update = request.update;
  const std::string& dir = request.dir;
  if (int code = CheckPathArgument("UPDATE", update, PathKind::kFile)) return code;
  if (int code = CheckPathArgument("GAME_DIR", dir, PathKind::kFolder, kUsage)) return code;
  platform::Result<WString> root = platform::ResolvedPath(PathArgument(dir));
  if (!root) return Report(dir, Fail(Cause::kGameFolderUnusable, WString(), root.status()));
  platform::File package;
  int64_t payload_end = 0;
  Failure failure = package::OpenPackage(PathArgument(update), package, payload_end);
  if (failure.failed()) return Report(update, failure);
  apply::Staging staging;
  platform::Status planned = apply::PlanStaging(*root, staging);
  if (!planned) return Report(dir, Fail(Cause::kGameFolderUnusable, *root, planned));
  staging.read_file = platform::ReadFileKeepingAccessIn;  // a dry run moves no time
  Plan plan;
  // An install cut off here is undone before the update installs: the plan
  // is of the folder as that leaves it, or of the recovery's failure.
  Failure recovery = apply::RecoverInterruptedInstall(staging, /*foresee_only=*/true);
  if (recovery.failed()) {
    plan.Add(package::kStagingFolderName, Action::kFail, FailureWords(recovery));
  } else if (staging.staging_folder) {
    fmt::print(stderr,
               "updatepkg: warning: {} holds .update-staging: an install was cut off there, and "
               "the updater undoes it first; this plan is of the folder as that leaves it\n",
               dir);
  }
  apply::ForeseeRecovery(staging, !recovery.failed());
  package::RecordReader reader(package, payload_end, *root);
  failure = ForecastAll(package, reader, staging, plan);
  if (failure.failed()) return Report(update, failure);  // the package itself is at fault
  if (!request.json) return PrintText(request, plan);
  PrintJson(request, plan);
  return plan.applies() ? kOk : kFault;
}

}  // namespace updater::tool
