#include "build/entry_writer.h"

#include "package/content_stream.h"
#include "package/entry_name.h"

platform::TimesRead ReadFileTimes(const WString& path, EntryTimes* times) {
  return platform::GetFileTimes(path, times);
}

EntryWriteResult WriteEntry(ParallelDeflater& deflater, const WString& source_root,
                            const WString& file_path, const RecordMaker& make_record) {
  // Times first: opening the content must not change the last access recorded.
  EntryTimes times;
  switch (ReadFileTimes(file_path, &times)) {
    case platform::TimesRead::kOk:
      break;
    case platform::TimesRead::kMissing:
      return EntryWriteResult::kSkipped;
    case platform::TimesRead::kFailed:
      return EntryWriteResult::kSourceUnreadable;
    case platform::TimesRead::kOutOfRange:
      return EntryWriteResult::kBadTime;
  }
  std::optional<WString> name = platform::RelativePathTo(source_root, file_path);
  if (!name || !IsAcceptableEntryName(*name)) return EntryWriteResult::kBadName;
  if (std::optional<std::vector<uint8_t>> record =
          make_record ? make_record(*name, file_path, times) : std::nullopt) {
    int64_t size = platform::FileSize(file_path).value_or(0);
    return deflater.AddPrepared(std::move(*record), size) ? EntryWriteResult::kWritten
                                                          : EntryWriteResult::kPackageError;
  }
  platform::File source = platform::OpenSourceFile(file_path, times);
  if (!source) {
    return platform::FileExists(file_path) ? EntryWriteResult::kSourceUnreadable
                                           : EntryWriteResult::kSkipped;
  }
  switch (deflater.AddRecord(*name, times, source)) {
    case DeflateResult::kOk:
      return EntryWriteResult::kWritten;
    case DeflateResult::kSourceError:
      return EntryWriteResult::kSourceUnreadable;
    case DeflateResult::kPackageError:
      break;
  }
  return EntryWriteResult::kPackageError;
}
