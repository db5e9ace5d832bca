#include "entry/build_mode.h"

#include "entry/process_state.h"
#include "entry/product_texts.h"

WString BuildFailureText(const SourceWalk& walk) {
  const ProductTexts& texts = kProductTexts;
  switch (walk.failure) {
    case BuildFailure::kSourceUnreadable:
      return texts.source_unreadable + walk.failed_path;
    case BuildFailure::kPathTooLong:
      return texts.path_too_long + walk.failed_path;
    case BuildFailure::kBadName:
      return texts.bad_name + walk.failed_path;
    case BuildFailure::kNotAFile:
      return texts.not_a_file + walk.failed_path;
    case BuildFailure::kBadTime:
      return texts.bad_time + walk.failed_path;
    case BuildFailure::kPackageTooLarge:
      return texts.package_too_large + walk.failed_path;
    case BuildFailure::kNone:
    case BuildFailure::kOutputError:
      break;
  }
  return texts.output_error;
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
