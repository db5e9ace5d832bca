// `updatepkg plan`: a dry run of an update against a game folder. It reads
// the folder as the updater would and prints, file by file, what the update
// would do there, writing nothing.
#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <vector>

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

using apply::Forecast;

// The word for each action, in the order of Forecast::Action.
const char* ActionWord(Forecast::Action action) {
  static const char* const kWords[] = {"add",    "replace", "patch",   "whole",
                                       "remove", "keep",    "current", "fail"};
  return kWords[action];
}

// The names of `releases` (a bit each) in `labels`: "1.0 or 2.0".
std::string ReleasesNamed(uint32_t releases, const std::vector<WString>& labels) {
  return fmt::format("{}", fmt::join(ReleaseNames(releases, labels), " or "));
}

struct Row {
  std::string name, action, detail;
};

// Passes over the streams of `record`, to the next record.
Failure SkipStreams(platform::File& package, const package::RecordReader& reader,
                    const package::Record& record) {
  if (record.kind == package::RecordKind::kRemove) return {};
  if (record.kind != package::RecordKind::kFile) {
    platform::Status past = package.Seek(record.streams_size(), SEEK_CUR);
    return past ? Failure() : reader.Fault(Cause::kPackageReadFailed, past);
  }
  int64_t size = 0;
  return package::ReadWholeStream(package, reader, size);
}

// What `forecast` says of `record`, in a few words after its action.
std::string Detail(const package::Record& record, const Forecast& forecast,
                   const std::vector<WString>& labels) {
  if (forecast.action == Forecast::kFail) {
    Failure shown = forecast.failure;
    shown.path = platform::DisplayPath(shown.path);
    std::string text = Utf8(FailureText(shown));
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
  if (forecast.action == Forecast::kPatch && record.is_delta() && record.old_name != record.name) {
    detail = "from " + Utf8(record.old_name);
  }
  if (forecast.action == Forecast::kWhole) detail = "matches no version patched: repaired";
  if (forecast.action == Forecast::kKeep) detail = "not a version the update removes";
  return detail;
}

}  // namespace

int RunPlan(const PlanRequest& request) {
  const std::string& update = request.update;
  const std::string& dir = request.dir;
  bool json = request.json;
  if (int code = CheckPathArgument("UPDATE", update, PathKind::kFile)) return code;
  if (int code = CheckPathArgument("GAME_DIR", dir, PathKind::kFolder, kUsage)) return code;
  platform::Result<WString> root = platform::ResolvedPath(PathArgument(dir));
  if (!root) return Report(dir, Fail(Cause::kGameFolderUnusable, WString(), root.status()));
  platform::File package;
  int64_t payload_end = 0;
  Failure failure = package::OpenPackage(PathArgument(update), package, payload_end);
  if (failure.failed()) return Report(update, failure);
  platform::Result<apply::Staging> staging = apply::PlanStaging(*root);
  if (!staging) return Report(dir, Fail(Cause::kGameFolderUnusable, *root, staging.status()));
  platform::Result<platform::NodeKind> staged =
      platform::KindIn(staging->folders.root(), package::kStagingFolderName);
  if (!staged || *staged != platform::NodeKind::kMissing) {
    fmt::print(stderr,
               "updatepkg: warning: {} holds .update-staging: an install was cut off there, and "
               "the updater undoes it first; this plan is of the folder as it is now\n",
               dir);
  }
  package::RecordReader reader(package, payload_end, *root);
  std::vector<Row> rows;
  int counts[Forecast::kFail + 1] = {};
  std::string first_failure;
  for (package::Record record; reader.Next(record);) {
    Forecast forecast = apply::ForecastRecord(record, *staging);
    ++counts[forecast.action];
    std::string detail = Detail(record, forecast, reader.releases());
    if (forecast.action == Forecast::kFail && first_failure.empty()) first_failure = detail;
    rows.push_back({Utf8(record.name), ActionWord(forecast.action), detail});
    failure = SkipStreams(package, reader, record);
    if (failure.failed()) break;
  }
  if (!failure.failed()) failure = reader.failure();
  if (failure.failed()) return Report(update, failure);  // the package itself is at fault
  staging->report.releases = reader.releases();
  WString matched;
  apply::AppendMatchedReleases(matched, staging->report);
  bool applies = counts[Forecast::kFail] == 0;
  if (json) {
    nlohmann::json entries = nlohmann::json::array(), totals = nlohmann::json::object();
    for (const Row& row : rows) {
      entries.push_back({{"name", row.name}, {"action", row.action}, {"detail", row.detail}});
    }
    for (int action = 0; action <= Forecast::kFail; ++action) {
      totals[ActionWord(static_cast<Forecast::Action>(action))] = counts[action];
    }
    fmt::print("{}\n",
               nlohmann::json{{"update", update},
                              {"folder", dir},
                              {"applies", applies},
                              {"matched", matched.size() > 2 ? Utf8(matched.substr(2)) : ""},
                              {"entries", entries},
                              {"totals", totals}}
                   .dump(2));
    return applies ? kOk : kFault;
  }
  for (const Row& row : rows) {
    fmt::print("{:<8} {}{}\n", row.action, row.name,
               row.detail.empty() ? "" : "  (" + row.detail + ")");
  }
  fmt::print(
      "{}: {} to add, {} to replace, {} to patch, {} whole for a file of no version, "
      "{} to remove, {} kept, {} already current{}\n",
      dir, counts[Forecast::kAdd], counts[Forecast::kReplace], counts[Forecast::kPatch],
      counts[Forecast::kWhole], counts[Forecast::kRemove], counts[Forecast::kKeep],
      counts[Forecast::kCurrent], Utf8(matched));
  if (applies) {
    fmt::print("{}: would apply\n", update);
    return kOk;
  }
  return PrintFault(
      update, fmt::format("would fail ({}): {}", Count(counts[Forecast::kFail], "file", "files"),
                          first_failure));
}

}  // namespace updater::tool
