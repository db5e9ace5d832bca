#include "tool/report.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>

#include "package/entry_name.h"
#include "package/format.h"
#include "package/record_reader.h"
#include "platform/utf8.h"

namespace updater::tool {

std::string Utf8(const WString& text) { return platform::ToUtf8(text); }

WString PathArgument(const std::string& text) {
  WString path = platform::FromUtf8Escaped(text);
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return path;
}

std::string Shown(const WString& path) { return Utf8(platform::DisplayPath(path)); }

int PrintFault(const std::string& file, const std::string& reason) {
  fmt::print(stderr, "updatepkg: {}: {}\n", file, reason);
  return kFault;
}

int Report(const std::string& file, const Failure& failure, const std::string& detail) {
  std::string where =
      failure.entry == 0 ? "" : fmt::format("entry {} at byte {}: ", failure.entry, failure.offset);
  Failure shown = failure;
  shown.path = platform::DisplayPath(shown.path);
  if (shown.path == platform::DisplayPath(PathArgument(file))) shown.path.clear();  // named once
  if (failure.cause == Cause::kPartialInTheWay) {  // the file in the way, as typed
    fmt::print(stderr,
               "updatepkg: {}.partial is in the way (another build, or a cut-off one): remove it\n",
               file);
    return kFault;
  }
  return PrintFault(file, where + Utf8(FailureText(shown)) + detail);
}

std::string Count(int64_t n, const char* one, const char* many) {
  return fmt::format("{} {}", n, n == 1 ? one : many);
}

int CheckPathArgument(const char* what, const std::string& typed, PathKind kind, int code) {
  WString path = PathArgument(typed);
  platform::Result<platform::FileId> there = platform::GetFileId(path);
  std::string found;
  if (!there) {
    found = Utf8(platform::ErrorMessage(there.error()));
  } else if (platform::IsFolder(path) != (kind == PathKind::kFolder)) {
    found = kind == PathKind::kFolder ? "a file, where a folder is needed"
                                      : "a folder, where a file is needed";
  } else {
    return kOk;
  }
  fmt::print(stderr, "updatepkg: {} {}: {}\n", what, typed, found);
  return code;
}

package::ProgramKind ProgramKindOf(const WString& path) {
  platform::Result<platform::File> file = platform::OpenFile(path, "rb");
  return file ? package::ReadProgramKind(*file) : package::ProgramKind::kUnknown;
}

std::string ProgramName(const WString& path) {
  switch (ProgramKindOf(path)) {
    case package::ProgramKind::kWindows32Gui:
      return "Windows 32-bit GUI";
    case package::ProgramKind::kWindows32Console:
      return "Windows 32-bit console";
    case package::ProgramKind::kWindows64:
      return "Windows 64-bit";
    case package::ProgramKind::kLinux:
      return "Linux";
    case package::ProgramKind::kUnknown:
      break;
  }
  return "unknown";
}

std::string AProgram(const std::string& program) {
  return (program == "unknown" ? "an " : "a ") + program + " program";
}

std::optional<std::string> NamedAmiss(const std::string& typed, const std::string& program) {
  bool exe = typed.size() >= 4 &&
             package::FoldCase(PathArgument(typed.substr(typed.size() - 4))) == u".EXE";
  bool windows = program.rfind("Windows", 0) == 0;
  if (exe && !windows) return typed + " is named .exe but carries no Windows program";
  if (!exe && windows) return typed + " carries a Windows program but is not named .exe";
  return std::nullopt;
}

std::vector<std::string> ReleaseNames(uint32_t releases, const std::vector<WString>& labels) {
  std::vector<std::string> names;
  for (size_t i = 0; i < package::kMaxReleases; ++i) {
    if (!(releases >> i & 1)) continue;
    WString name;
    package::AppendReleaseName(name, labels, i);
    names.push_back(Utf8(name));
  }
  return names;
}

}  // namespace updater::tool
