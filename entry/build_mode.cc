#include "entry/build_mode.h"

#include "entry/product_texts.h"
#include "pack/package_builder.h"

namespace updater::entry {
namespace {

// The box text for a failure that names its path; null for the output error
// (and any cause a build does not meet).
const char16_t* PathFailureText(Cause cause) {
  const ProductTexts& texts = kProductTexts;
  switch (cause) {
    case Cause::kSourceUnreadable:
      return texts.source_unreadable;
    case Cause::kPathTooLong:
      return texts.path_too_long;
    case Cause::kBadName:
    case Cause::kDuplicateName:
      return texts.bad_name;
    case Cause::kNotAFile:
      return texts.not_a_file;
    case Cause::kBadTime:
      return texts.bad_time;
    case Cause::kPackageTooLarge:
      return texts.package_too_large;
    default:
      return nullptr;
  }
}

}  // namespace

WString BuildFailureText(const Failure& failure) {
  const char16_t* text = PathFailureText(failure.cause);
  return text ? text + failure.path : WString(kProductTexts.output_error);
}

bool BuildPackage(const WString& output_path) {
  // A working folder with no faithful UTF-16 form gives none: never guess a path.
  std::optional<WString> cwd = platform::WorkingFolder();
  std::optional<WString> root =
      cwd ? platform::AppendPath(*cwd, kProductTexts.source_directory) : std::nullopt;
  Failure failure = root ? pack::AppendPackageToFile(output_path, *root, pack::BuildOptions())
                         : Fail(Cause::kOutputError, WString());
  if (!failure.failed()) return true;
  WString text = BuildFailureText(failure);
  WString line = u"build failed: " + text;
  if (failure.os_error != 0) line += u": " + platform::ErrorMessage(failure.os_error);
  platform::DebugOutput(line + u"\n");
  platform::ShowMessageBox(text, kProductTexts.output_error_caption, platform::BoxStyle::kOk);
  return false;
}

}  // namespace updater::entry
