#include "package/failure.h"

namespace updater {

const char* Describe(Cause cause) {
  switch (cause) {
    case Cause::kNone:
      return "sound";
    case Cause::kCannotOpenPackage:
      return "the update cannot be opened";
    case Cause::kNoPackage:
      return "carries no package (no trailer at its end)";
    case Cause::kBadTrailer:
      return "the trailer's payload length does not fit the file";
    case Cause::kPackageReadFailed:
      return "the update cannot be read";
    case Cause::kBadTag:
      return "neither an entry record nor the trailer";
    case Cause::kBadName:
      return "a name the updater refuses, or cut short";
    case Cause::kDuplicateName:
      return "the same path as another entry (ignoring case), or a file where a folder is";
    case Cause::kTimesCut:
      return "the package ends inside the file times";
    case Cause::kBadStream:
      return "a damaged content stream (bad data, cut short, or a wrong Adler-32)";
    case Cause::kBadDelta:
      return "a delta whose operations leave the old file or do not make the recorded file";
    case Cause::kWrongOldFile:
      return "not the version the patch was made from";
    case Cause::kGameFolderUnusable:
      return "cannot open (or the path is too long)";
    case Cause::kLockHeld:
      return "another install holds";
    case Cause::kLockFailed:
      return "cannot take the install lock on";
    case Cause::kStagingNotOurs:
      return "a staging folder not this user's alone";
    case Cause::kRecoveryFailed:
      return "an earlier install that cannot be undone, in";
    case Cause::kTargetRefused:
      return "a link, junction, folder or device in the way";
    case Cause::kTargetBusy:
      return "cannot write (read-only, or in use)";
    case Cause::kCreateStaging:
      return "cannot create";
    case Cause::kWriteStaged:
      return "cannot stage";
    case Cause::kReadOldFile:
      return "cannot read the file to patch";
    case Cause::kWriteJournal:
      return "cannot write the journal in";
    case Cause::kSync:
      return "cannot sync";
    case Cause::kCreateFolder:
      return "cannot create a folder for";
    case Cause::kReplace:
      return "cannot replace";
    case Cause::kPlace:
      return "cannot place";
    case Cause::kEndJournal:
      return "cannot end the journal in";
    case Cause::kOutputError:
      return "the output cannot be written";
    case Cause::kSourceUnreadable:
      return "cannot be read";
    case Cause::kPathTooLong:
      return "path longer than 259 UTF-16 units";
    case Cause::kNotAFile:
      return "neither a regular file nor a folder";
    case Cause::kBadTime:
      return "a file time before 1601 or after 30827";
    case Cause::kPackageTooLarge:
      return "the update would reach 2 GiB, the format's limit";
  }
  return "unknown cause";
}

Failure Fail(Cause cause, const WString& path, platform::Status status) {
  return Failure{cause, path, status.error()};
}

WString FailureText(const Failure& failure) {
  WString text;
  for (const char* c = Describe(failure.cause); *c; ++c) text += static_cast<char16_t>(*c);
  if (!failure.path.empty()) text.append(u": ").append(failure.path);
  if (failure.os_error != 0) text.append(u": ").append(platform::ErrorMessage(failure.os_error));
  return text;
}

}  // namespace updater
