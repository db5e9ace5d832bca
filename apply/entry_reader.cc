#include "apply/entry_reader.h"

#include <algorithm>

#include "package/content_stream.h"
#include "package/format.h"
#include "package/package_index.h"

namespace {

// Checks that the entry `name` can be written below the root: every folder
// on its way that exists is a plain folder (no link or junction), the file
// itself is missing or a plain file that can be opened for writing now.
// Folders still missing are added to the staging plan.
bool CheckTarget(Staging& staging, const WString& name, StagedEntry& entry) {
  bool missing = false;  // below a missing folder everything is missing
  for (const WString& folder : FoldersOf(name)) {
    if (!missing && !HeldFolder(staging, folder)) {
      const platform::Folder* parent = HeldFolder(staging, ParentOf(folder));
      missing = parent &&
                platform::KindIn(*parent, LastComponent(folder)) == platform::NodeKind::kMissing;
      if (!missing) return false;  // a link, a file, or what cannot be told
    }
    if (missing && std::find(staging.new_folders.begin(), staging.new_folders.end(), folder) ==
                       staging.new_folders.end()) {
      staging.new_folders.push_back(folder);
    }
  }
  if (missing) return true;
  const platform::Folder* parent = HeldFolder(staging, ParentOf(name));
  switch (platform::KindIn(*parent, LastComponent(name))) {
    case platform::NodeKind::kMissing:
      return true;
    case platform::NodeKind::kFile:
      entry.existed = true;
      return platform::CanWriteFileIn(*parent, LastComponent(name));
    default:
      return false;
  }
}

// Inflates the stream at the package's position into the staged file and
// gives it its times; on disk before it returns where each file is synced.
bool StageContent(platform::File& package, const Staging& staging, const WString& staged,
                  const EntryTimes& times) {
  platform::File file = platform::CreateFileIn(staging.staging_folder, staged);
  if (!file) return false;
  bool ok = InflateStream(
      package, [&file](const uint8_t* data, size_t size) { return file.Write(data, size); });
  ok = ok && file.SetTimes(times.creation, times.last_access, times.last_write);
  if (ok && !platform::kHasFileSystemSync) ok = file.Sync();
  return file.Close() && ok;
}

ReadResult StageFileEntry(platform::File& package, StageState& state) {
  RecordHeader header;
  if (ReadRecordHeader(package, state.staging.root, state.paths, header) != PackageFault::kNone) {
    return ReadResult::kFail;
  }
  AddStagedEntry(state.staging, header.name, header.target);
  StagedEntry& entry = state.staging.entries.back();
  if (!CheckTarget(state.staging, header.name, entry) ||
      !StageContent(package, state.staging, entry.staged, header.times)) {
    return ReadResult::kFail;
  }
  return ReadResult::kContinue;
}

}  // namespace

ReadResult ReadEntry(platform::File& package, StageState& state) {
  switch (ReadNextTag(package, state.payload_end)) {
    case RecordTag::kFile:
      return StageFileEntry(package, state);
    case RecordTag::kEnd:
      return ReadResult::kEnd;
    case RecordTag::kInvalid:
      break;
  }
  return ReadResult::kFail;
}
