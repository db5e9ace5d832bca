#include "apply/package_check.h"

#include "package/content_stream.h"
#include "package/entry_name.h"
#include "package/format.h"

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

// True when the entry `name` can be written below `install_root` (whose
// links resolve to `resolved_root`): every folder on its way that exists lies
// inside the install root once links are resolved, the file itself is not a
// link or a folder, and an existing file can be opened for writing now.
bool TargetIsWritable(const WString& install_root, const WString& resolved_root,
                      const WString& name) {
  std::optional<WString> target = platform::AppendPath(install_root, name);
  if (!target) return false;
  for (size_t i = name.find(u'\\'); i != WString::npos; i = name.find(u'\\', i + 1)) {
    std::optional<WString> folder = platform::AppendPath(install_root, name.substr(0, i));
    if (!folder || !ExistingPartStaysInside(*folder, resolved_root)) return false;
    if (platform::FileExists(*folder) && !platform::IsDirectory(*folder)) return false;
  }
  if (!ExistingPartStaysInside(*target, resolved_root)) return false;
  if (!platform::FileExists(*target)) return true;
  return !platform::IsLink(*target) && !platform::IsDirectory(*target) &&
         platform::CanOpenForWriting(*target);
}

bool CheckRecord(platform::File& package, const WString& install_root, const WString& resolved_root,
                 PackagePaths& paths) {
  std::optional<WString> name = ReadEntryName(package);
  if (!name || !IsAcceptableEntryName(*name)) return false;
  std::optional<WString> target = platform::AppendPath(install_root, *name);
  if (!target || !AddPackagePath(paths, *target)) return false;
  if (!ReadEntryTimes(package)) return false;
  if (!InflateStream(package, [](const uint8_t*, size_t) { return true; })) return false;
  return TargetIsWritable(install_root, resolved_root, *name);
}

}  // namespace

bool CheckPackage(platform::File& package, int64_t payload_end, const WString& install_root) {
  int64_t start = package.Tell();
  std::optional<WString> resolved_root = platform::ResolvedPath(install_root);
  PackagePaths paths;
  bool ok = false;
  while (resolved_root) {
    RecordTag tag = ReadRecordTag(package);
    if (tag == RecordTag::kEnd) {
      ok = package.Tell() == payload_end + 4;
      break;
    }
    if (tag != RecordTag::kFile || !CheckRecord(package, install_root, *resolved_root, paths)) {
      break;
    }
  }
  return package.Seek(start, SEEK_SET) && ok;
}
