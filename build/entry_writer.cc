#include "build/entry_writer.h"

#include "entry/process_state.h"
#include "package/content_stream.h"
#include "package/entry_name.h"

std::optional<EntryTimes> ReadFileTimes(const WString& path) {
  return platform::GetFileTimes(path);
}

EntryWriteResult WriteEntry(PackageOut& package, const WString& file_path) {
  // Times first: opening the content must not change the last access recorded.
  std::optional<EntryTimes> times = ReadFileTimes(file_path);
  if (!times) return EntryWriteResult::kSkipped;
  std::optional<WString> name = platform::RelativePathTo(g_sourceRoot, file_path);
  if (!name || !IsAcceptableEntryName(*name)) return EntryWriteResult::kBadName;
  platform::File source = platform::OpenFile(file_path, "rb");
  if (!source) {
    return platform::FileExists(file_path) ? EntryWriteResult::kSourceUnreadable
                                           : EntryWriteResult::kSkipped;
  }
  if (!WriteEntryHeader(package, *name, *times)) return EntryWriteResult::kPackageError;
  switch (DeflateFileInto(package, source)) {
    case DeflateResult::kOk:
      return EntryWriteResult::kWritten;
    case DeflateResult::kSourceError:
      return EntryWriteResult::kSourceUnreadable;
    case DeflateResult::kPackageError:
      break;
  }
  return EntryWriteResult::kPackageError;
}
