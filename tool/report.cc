#include "tool/report.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>

#include "package/format.h"
#include "platform/utf8.h"

namespace updater::tool {

std::string Utf8(const WString& text) { return platform::ToUtf8(text); }

WString PathArgument(const std::string& text) {
  WString path = platform::FromUtf8Escaped(text);
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return path;
}

WString AsTheSystemWritesIt(WString path) {
#ifndef _WIN32
  std::replace(path.begin(), path.end(), u'\\', u'/');
#endif
  return path;
}

int PrintFault(const std::string& file, const std::string& reason) {
  fmt::print(stderr, "updatepkg: {}: {}\n", file, reason);
  return kFault;
}

int Report(const std::string& file, const Failure& failure, const std::string& detail) {
  std::string where =
      failure.entry == 0 ? "" : fmt::format("entry {} at byte {}: ", failure.entry, failure.offset);
  Failure shown = failure;
  if (failure.entry != 0) shown.path.clear();  // the entry is named by its place
  shown.path = AsTheSystemWritesIt(shown.path);
  if (failure.cause == Cause::kPartialInTheWay) {  // the file in the way, as typed
    fmt::print(stderr,
               "updatepkg: {}.partial is in the way (another build, or a cut-off one): remove it\n",
               file);
    return kFault;
  }
  return PrintFault(file, where + Utf8(FailureText(shown)) + detail);
}

std::string ProgramName(const WString& path) {
  platform::Result<platform::File> file = platform::OpenFile(path, "rb");
  switch (file ? package::ReadProgramKind(*file) : package::ProgramKind::kUnknown) {
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

}  // namespace updater::tool
