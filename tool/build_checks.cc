#include "tool/build_checks.h"

#include <fmt/format.h>

#include <cstdio>

#include "package/entry_name.h"
#include "package/format.h"
#include "tool/report.h"

namespace updater::tool {
namespace {

bool SameFile(const WString& a, const WString& b) {
  platform::Result<platform::FileId> x = platform::GetFileId(a), y = platform::GetFileId(b);
  return x && y && *x == *y;
}

}  // namespace

std::string RuleBroken(const WString& path) {
  switch (package::BrokenRule(package::LastComponent(path))) {
    case package::NameRule::kDots:
      return "an empty name, . or ..";
    case package::NameRule::kColon:
      return "a ':', which Windows takes for a drive or a stream";
    case package::NameRule::kSeparator:
      return "a '\\', a separator in the package";
    case package::NameRule::kForbidden:
      return "a control character or one of < > \" | ? *";
    case package::NameRule::kTrailingDotOrSpace:
      return "a trailing dot or space, which Windows drops";
    case package::NameRule::kNoUnicode:
      return "not valid Unicode";
    case package::NameRule::kDeviceName:
      return "a reserved device name";
    case package::NameRule::kNone:
      break;
  }
  return "it would lie in the updater's own .update-staging";
}

std::string ClashWith(const WString& path, const WString& source) {
  std::vector<pack::TreeFile> files;
  (void)pack::ListTreeFiles(source, files);
  WString mine = package::FoldCase(path);
  for (const pack::TreeFile& f : files) {
    WString other = package::FoldCase(f.path);
    if (f.path == path) continue;
    if (other == mine) return "a case twin of " + Shown(f.path);
    if (other.compare(0, mine.size() + 1, mine + u"\\") == 0 ||
        mine.compare(0, other.size() + 1, other + u"\\") == 0) {
      return "a file where " + Shown(f.path) + " needs a folder, or the reverse";
    }
  }
  return "the same as another name, ignoring case";
}

std::optional<WString> DefaultStub() {
  WString folder = package::FolderOfPath(platform::OwnExecutablePath().value_or(WString()));
  for (const char16_t* place : {u"\\updater.exe", u"\\..\\share\\tessaran-updater\\updater.exe",
                                u"\\..\\windows\\updater.exe"}) {
    WString path = folder + place;
    if (platform::GetFileId(path) && !platform::IsFolder(path)) return path;
  }
  return std::nullopt;
}

std::optional<std::string> OverwritesAnInput(const WString& output,
                                             const std::vector<WString>& trees, const WString& stub,
                                             const std::vector<pack::TreeFile>& listed) {
  platform::Result<WString> folder = platform::ResolvedPath(package::FolderOfPath(output));
  for (WString at = folder ? *folder : WString(); !at.empty() && at.back() != u':';) {
    for (const WString& tree : trees) {
      if (SameFile(at, tree)) return "lies inside " + Shown(tree);
    }
    size_t slash = at.rfind(u'\\');
    at = slash == WString::npos || slash == 0 ? WString() : at.substr(0, slash);
  }
  platform::Result<platform::FileId> existing = platform::GetFileId(output);
  if (!existing) return std::nullopt;  // nothing there to lose
  if (SameFile(output, stub)) return "is the stub";
  std::vector<pack::TreeFile> files;
  if (listed.empty()) (void)pack::ListTreeFiles(trees[0], files);
  for (const pack::TreeFile& f : listed.empty() ? files : listed) {
    platform::Result<platform::FileId> id = platform::GetFileId(f.path);
    if (id && *id == *existing) return "is " + Shown(f.path) + " of the source tree";
  }
  return std::nullopt;
}

int CheckStub(const WString& stub, const char* what) {
  std::string typed = Shown(stub);
  if (int code = CheckPathArgument(what, typed, PathKind::kFile, kUsage)) return code;
  std::string found;
  platform::File file;
  int64_t payload_end = 0;
  Failure package = package::OpenPackage(stub, file, payload_end);
  if (ProgramKindOf(stub) == package::ProgramKind::kUnknown) {
    found = "not a program (neither a Windows nor a Linux executable)";
  } else if (!package.failed() || package.cause == Cause::kBadTrailer) {
    found = "an update already (it ends with a package): name the updater program itself";
  } else {
    return kOk;
  }
  fmt::print(stderr, "updatepkg: {} {}: {}\n", what, typed, found);
  return kUsage;
}

int CheckOutput(const std::string& typed) {
  WString output = PathArgument(typed);
  if (platform::IsFolder(output)) {
    fmt::print(stderr, "updatepkg: -o {}: a folder, where the update file goes\n", typed);
    return kFault;
  }
  size_t slash = typed.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "." : typed.substr(0, slash == 0 ? 1 : slash);
  std::string what = "-o " + typed + ": its folder";
  return CheckPathArgument(what.c_str(), folder, PathKind::kFolder);
}

std::pair<std::string, std::optional<std::string>> SplitLabel(const std::string& typed) {
  if (platform::IsFolder(PathArgument(typed))) return {typed, std::nullopt};
  for (size_t at = typed.rfind('='); at != std::string::npos && at > 0;
       at = typed.rfind('=', at - 1)) {
    if (platform::IsFolder(PathArgument(typed.substr(0, at)))) {
      return {typed.substr(0, at), typed.substr(at + 1)};
    }
  }
  return {typed, std::nullopt};
}

}  // namespace updater::tool
