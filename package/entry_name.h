// The names a package may carry. A package may come from anywhere, so a name
// must be a plain relative path that stays below the folder it is joined to
// and means the same file on Windows and elsewhere. Build mode refuses to
// write what the applier would refuse.
#pragma once

#include <vector>

#include "platform/platform.h"

namespace updater::package {

// True when `component` can name a file or folder on Windows and elsewhere:
// no separator, drive colon, wildcard, control or other forbidden character,
// no unpaired surrogate, no trailing dot or space, not "." or "..", and not
// a device name such as CON or LPT1.
bool IsAcceptableComponent(const WString& component);

// Which rule a component breaks, for a message; kNone when it is acceptable.
enum class NameRule {
  kNone,
  kDots,                // empty, "." or ".."
  kColon,               // a ":" (a drive or a stream on Windows)
  kSeparator,           // a "\\" or "/"
  kForbidden,           // a control character or one of < > " | ? *
  kTrailingDotOrSpace,  // Windows drops it, so the name would change
  kNoUnicode,           // not valid UTF-8 on disk, or an unpaired surrogate
  kDeviceName,          // CON, PRN, AUX, NUL, COM1-9, LPT1-9 and the like
};
NameRule BrokenRule(const WString& component);

// True when every surrogate in `text` is half of a pair, so that it has a
// faithful form outside UTF-16.
bool SurrogatesArePaired(const WString& text);

// The longest version label a package may carry, in UTF-16 units.
inline constexpr size_t kMaxLabelUnits = 64;

// True when `label` is text a box may show: at most kMaxLabelUnits units,
// valid UTF-16, no control characters.
bool IsAcceptableLabel(const WString& label);

// The folder at the game root where an update stages its files; no entry may lie in it.
inline constexpr char16_t kStagingFolderName[] = u".update-staging";

// True when `name` is a relative "\"-separated path of acceptable components,
// optionally after leading "." components (".\sub\a.dat"), that does not
// lie in the staging folder.
bool IsAcceptableEntryName(const WString& name);

// Names and paths in the library's form, "\\" between components. Inline,
// so that each layer's code keeps them beside its callers.

// The folders an entry name lies in, shallowest first, as names themselves
// (".\\a\\b\\c.dat" gives ".\\a" and ".\\a\\b"); "." components add none.
inline std::vector<WString> FoldersOf(const WString& name) {
  std::vector<WString> folders;
  size_t first = 0;
  while (name.compare(first, 2, u".\\") == 0) first += 2;
  for (size_t i = name.find(u'\\', first); i != WString::npos; i = name.find(u'\\', i + 1)) {
    if (name.compare(i - 1, 1, u".") == 0 && (i == 1 || name[i - 2] == u'\\')) continue;
    folders.push_back(name.substr(0, i));
  }
  return folders;
}

// The folder an entry name lies in, as a name; empty for the root itself.
inline WString ParentOf(const WString& name) {
  std::vector<WString> folders = FoldersOf(name);
  return folders.empty() ? WString() : folders.back();
}

// The last component of a name or path (".\\a\\b" gives "b").
inline WString LastComponent(const WString& name) {
  size_t slash = name.rfind(u'\\');
  return slash == WString::npos ? name : name.substr(slash + 1);
}

// The folder a path in the library's form lies in: all before its last
// "\\"; "." where it has none, and "\\" for one right below the root.
inline WString FolderOfPath(const WString& path) {
  size_t slash = path.rfind(u'\\');
  if (slash == WString::npos) return u".";
  return path.substr(0, slash == 0 ? 1 : slash);
}

// `text` with each UTF-16 unit mapped to its simple uppercase form (Unicode
// 15.0, package/case_table.inc), the way Windows compares file names.
WString FoldCase(const WString& text);

// The file paths of one package, folded, and every folder above them, each
// sorted (a sorted vector: updater.exe has no room for a tree's code).
struct PackagePaths {
  std::vector<WString> files;
  std::vector<WString> folders;
  std::vector<WString> removed;  // the files removals name
};

// Records the path of a file the package writes (or, with `removal`, one it
// removes); false when it names the same file as an earlier path ignoring
// case, or, for a file written, a file where another written path needs a
// folder, or vice versa. A removed file may lie where a written one needs a
// folder, or below one written: a file that becomes a folder between
// releases, or the reverse.
bool AddPackagePath(PackagePaths& paths, const WString& path, bool removal = false);

}  // namespace updater::package
