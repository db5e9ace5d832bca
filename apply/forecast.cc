#include "apply/forecast.h"

#include "apply/patch_writer.h"
#include "apply/record_plan.h"

namespace updater::apply {
namespace {

// The releases a plan shows for a decision: those whose version is there;
// none for a removal already made.
uint32_t ShownReleases(const package::Record& record, const Decision& decision) {
  bool removed = record.kind == package::RecordKind::kRemove && decision.action == Action::kCurrent;
  return removed ? 0 : decision.releases;
}

}  // namespace

Forecast ForecastRecord(const package::Record& record, Staging& staging) {
  AddStagedEntry(staging, record.name, record.target);
  StagedEntry& entry = staging.entries.back();
  Forecast forecast;
  Found found;
  InTheWay in_way;
  const platform::Folder* parent = nullptr;
  forecast.failure = FindTarget(staging, record, entry, found, in_way, parent);
  if (forecast.failure.failed()) return forecast;
  // The rights the install will have where it changes the folder.
  found.rights = platform::MayChangeFolder(*parent);
  Decision decision;
  forecast.failure = DecideLooking(record, staging, entry, found, decision, [&] {
    bool known = static_cast<bool>(KnownFile(staging, ReadEntryFile(staging, record.old_name),
                                             record.delta.old_size, record.delta.old_hash));
    found.version = known ? 0 : -1;
    return Failure();
  });
  if (forecast.failure.failed()) return forecast;
  forecast.action = decision.action;
  forecast.version = decision.version;
  forecast.releases = ShownReleases(record, decision);
  if (decision.action == Action::kFail) {
    NoteMatch(staging.report, record, 0);  // a file that fails matches no release
    forecast.failure = FailureOf(decision, record, staging, entry, found, {}, true);
    return forecast;
  }
  forecast.failure = Settle(staging, record, decision, found, in_way, parent);
  if (forecast.failure.failed()) forecast.action = Action::kFail;
  forecast.in_way = in_way.name;  // none for a removal, or a file already current
  forecast.in_way_folder = in_way.folder;
  return forecast;
}

Failure DryPatch(platform::File& package, const package::RecordReader& reader,
                 package::Record record, const Forecast& forecast, Staging& staging) {
  int64_t streams = package.Tell();
  if (forecast.version >= 0) {
    platform::Status at = package.Seek(streams + BecomeDelta(record, forecast.version), SEEK_SET);
    if (!at) return reader.Fault(Cause::kPackageReadFailed, at);
  }
  platform::Result<platform::File> old = ReadEntryFile(staging, record.old_name);
  if (!old) return Fail(Cause::kReadOldFile, TargetOf(staging, record.old_name), old.status());
  // Its version was told by its bytes.
  OldFileCheck check(*old, record.delta.old_size, &record.delta.old_hash, true);
  return BlameAChangedOldFile(Patch(package, reader, record, *old, check, nullptr, nullptr), *old,
                              record, staging);
}

}  // namespace updater::apply
