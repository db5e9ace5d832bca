#include "apply/entry_reader.h"

#include "entry/process_state.h"
#include "package/content_stream.h"
#include "package/entry_name.h"
#include "package/format.h"

namespace {

ReadResult ReadFileEntry(platform::File& package) {
  std::optional<WString> name = ReadEntryName(package);
  if (!name || !IsAcceptableEntryName(*name)) return ReadResult::kFail;
  std::optional<WString> target = platform::AppendPath(g_installRoot, *name);
  if (!target) return ReadResult::kFail;
  std::optional<EntryTimes> times = ReadEntryTimes(package);
  if (!times || !InflateFileFrom(package, *target)) return ReadResult::kFail;
  // The entry counts as installed even where the OS keeps its own times.
  RestoreFileTimes(*target, *times);
  return ReadResult::kContinue;
}

}  // namespace

bool RestoreFileTimes(const WString& target, const EntryTimes& times) {
  return platform::SetFileTimes(target, times);
}

ReadResult ReadEntry(platform::File& package, int64_t payload_end) {
  switch (ReadRecordTag(package)) {
    case RecordTag::kFile:
      return ReadFileEntry(package);
    case RecordTag::kEnd:
      // Only the trailer that was located ends the package.
      return package.Tell() == payload_end + 4 ? ReadResult::kEnd : ReadResult::kFail;
    case RecordTag::kInvalid:
      break;
  }
  return ReadResult::kFail;
}
