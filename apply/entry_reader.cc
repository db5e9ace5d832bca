#include "apply/entry_reader.h"

#include <algorithm>

#include "package/content_stream.h"
#include "package/format.h"
#include "package/package_index.h"

namespace {

bool LiesInside(const WString& path, const WString& root) {
  if (path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || root.back() == u'\\' || path[root.size()] == u'\\';
}

// True when `path` does not exist, or exists and resolves inside `root`.
bool ExistingPartStaysInside(const WString& path, const WString& resolved_root) {
  if (!platform::FileExists(path)) return !platform::IsLink(path);  // a dangling link is refused
  std::optional<WString> resolved = platform::ResolvedPath(path);
  return resolved && LiesInside(*resolved, resolved_root);
}

// Checks that the entry `name` can be written below the root: every folder
// on its way that exists lies inside the root once links are resolved, the
// file itself is not a link or a folder, and an existing file can be opened
// for writing now. Folders still missing are added to the staging plan.
bool CheckTarget(StageState& state, const WString& name, StagedEntry& entry) {
  Staging& staging = state.staging;
  for (const WString& folder_name : FoldersOf(name)) {
    std::optional<WString> folder = platform::AppendPath(staging.root, folder_name);
    if (!folder || !ExistingPartStaysInside(*folder, state.resolved_root)) return false;
    if (platform::FileExists(*folder)) {
      if (!platform::IsDirectory(*folder)) return false;
    } else if (std::find(staging.new_folders.begin(), staging.new_folders.end(), folder_name) ==
               staging.new_folders.end()) {
      staging.new_folders.push_back(folder_name);
    }
  }
  if (!ExistingPartStaysInside(entry.target, state.resolved_root)) return false;
  entry.existed = platform::FileExists(entry.target);
  if (!entry.existed) return true;
  return !platform::IsLink(entry.target) && !platform::IsDirectory(entry.target) &&
         platform::CanOpenForWriting(entry.target);
}

// Inflates the stream at the package's position into the staged file and
// gives it its times; on disk before it returns where each file is synced.
bool StageContent(platform::File& package, const WString& staged, const EntryTimes& times) {
  platform::File file = platform::OpenForWriting(staged);
  if (!file) return false;
  bool ok = InflateStream(
      package, [&file](const uint8_t* data, size_t size) { return file.Write(data, size); });
  if (ok && !platform::kHasFileSystemSync) ok = file.Sync();
  if (!file.Close()) ok = false;
  return ok && platform::SetFileTimes(staged, times);
}

ReadResult StageFileEntry(platform::File& package, StageState& state) {
  RecordHeader header;
  if (ReadRecordHeader(package, state.staging.root, state.paths, header) != PackageFault::kNone) {
    return ReadResult::kFail;
  }
  AddStagedEntry(state.staging, header.name, header.target);
  StagedEntry& entry = state.staging.entries.back();
  if (!CheckTarget(state, header.name, entry) ||
      !StageContent(package, entry.staged, header.times)) {
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
