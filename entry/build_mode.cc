#include "entry/build_mode.h"

#include "entry/process_state.h"
#include "entry/product_texts.h"

namespace {

// The box text for a failure that names its path; null for the output error.
const char16_t* PathFailureText(BuildFailure failure) {
  const ProductTexts& texts = kProductTexts;
  switch (failure) {
    case BuildFailure::kSourceUnreadable:
      return texts.source_unreadable;
    case BuildFailure::kPathTooLong:
      return texts.path_too_long;
    case BuildFailure::kBadName:
      return texts.bad_name;
    case BuildFailure::kNotAFile:
      return texts.not_a_file;
    case BuildFailure::kBadTime:
      return texts.bad_time;
    case BuildFailure::kPackageTooLarge:
      return texts.package_too_large;
    case BuildFailure::kNone:
    case BuildFailure::kOutputError:
      break;
  }
  return nullptr;
}

}  // namespace

WString BuildFailureText(const SourceWalk& walk) {
  const char16_t* text = PathFailureText(walk.failure);
  return text ? text + walk.failed_path : WString(kProductTexts.output_error);
}

bool BuildPackage(const WString& output_path) {
  SourceWalk walk;
  // A working folder with no faithful UTF-16 form gives none: never guess a path.
  std::optional<WString> cwd = platform::CurrentDirectory();
  std::optional<WString> root =
      cwd ? platform::AppendPath(*cwd, kProductTexts.source_directory) : std::nullopt;
  if (root) {
    g_sourceRoot = *root;
    if (AppendPackageToFile(output_path, *root, walk)) return true;
  }
  WString text = root ? BuildFailureText(walk) : kProductTexts.output_error;
  WString line = u"build failed: " + text;
  if (walk.os_error != 0) line += u": " + platform::ErrorMessage(walk.os_error);
  platform::DebugOutput(line + u"\n");
  platform::ShowMessageBox(text, kProductTexts.output_error_caption, platform::BoxStyle::kOk);
  return false;
}
