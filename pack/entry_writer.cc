#include "pack/entry_writer.h"

#include "package/entry_name.h"

namespace updater::pack {

Failure OutputFailure(const package::PackageOut& out, const WString& path) {
  if (out.too_large) return Fail(Cause::kPackageTooLarge, WString());
  return Failure{Cause::kOutputError, path, out.os_error};
}

Failure DeflaterFailure(const package::ParallelDeflater& deflater, const package::PackageOut& out) {
  const Failure* made = deflater.made_failure();
  return made ? *made : OutputFailure(out, WString());
}

Failure WriteEntry(package::ParallelDeflater& deflater, const package::PackageOut& out,
                   const WString& source_root, const platform::Folder& folder, const WString& name,
                   const WString& path, const RecordMaker& make_record, bool& skipped) {
  skipped = false;
  // Times first: opening the content must not change the last access recorded.
  platform::Result<EntryTimes> times = platform::TimesIn(folder, name);
  if (!times && platform::IsMissing(times.error())) {
    skipped = true;
    return {};
  }
  if (!times) {
    bool out_of_range = times.error() == platform::TimeOutOfRangeError();
    return Fail(out_of_range ? Cause::kBadTime : Cause::kSourceUnreadable, path, times.status());
  }
  std::optional<WString> entry_name = platform::RelativePathTo(source_root, path);
  if (!entry_name || !package::IsAcceptableEntryName(*entry_name)) {
    return Fail(Cause::kBadName, path);
  }
  if (std::optional<bool> queued =
          make_record ? make_record(deflater, *entry_name, path, *times) : std::nullopt) {
    return *queued ? Failure() : DeflaterFailure(deflater, out);
  }
  platform::Result<platform::File> source = platform::OpenSourceFileIn(folder, name, *times);
  if (!source && platform::IsMissing(source.error())) {
    skipped = true;
    return {};
  }
  if (!source) return Fail(Cause::kSourceUnreadable, path, source.status());
  switch (deflater.AddRecord(*entry_name, *times, *source)) {
    case package::DeflateResult::kOk:
      return {};
    case package::DeflateResult::kSourceError:
      return Fail(Cause::kSourceUnreadable, path, source->status());
    case package::DeflateResult::kPackageError:
      break;
  }
  return DeflaterFailure(deflater, out);
}

}  // namespace updater::pack
