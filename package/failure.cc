#include "package/failure.h"

namespace updater {

const char* Describe(Cause cause) {
  switch (cause) {
    case Cause::kNone:
      return "sound";
    case Cause::kCannotOpenPackage:
      return "cannot open the update";
    case Cause::kNoPackage:
      return "carries no package";
    case Cause::kBadTrailer:
      return "a trailer length past the file";
    case Cause::kPackageReadFailed:
      return "cannot read the update";
    case Cause::kBadTag:
      return "neither an entry nor the trailer";
    case Cause::kBadName:
      return "a name the updater refuses";
    case Cause::kDuplicateName:
      return "a path taken already, ignoring case";
    case Cause::kTimesCut:
      return "cut inside the file times";
    case Cause::kBadStream:
      return "a damaged content stream";
    case Cause::kBadDelta:
      return "a delta that does not make its file";
    case Cause::kWrongOldFile:
      return "not the version the patch was made from";
    case Cause::kPackageCut:
      return "cut short: no trailer";
    case Cause::kGameFolderUnusable:
      return "cannot open";
    case Cause::kLockHeld:
      return "another install holds";
    case Cause::kLockFailed:
      return "cannot lock";
    case Cause::kStagingNotOurs:
      return "a staging folder not this user's alone";
    case Cause::kRecoveryFailed:
      return "cannot undo an install in";
    case Cause::kTargetRefused:
      return "a link, junction or folder in the way";
    case Cause::kTargetBusy:
      return "cannot write (read-only or in use)";
    case Cause::kCreateStaging:
      return "cannot create";
    case Cause::kWriteStaged:
      return "cannot stage";
    case Cause::kReadOldFile:
      return "cannot read";
    case Cause::kWriteJournal:
      return "cannot write the journal in";
    case Cause::kSync:
      return "cannot sync";
    case Cause::kCreateFolder:
      return "cannot create a folder for";
    case Cause::kReplace:
      return "cannot replace";
    case Cause::kRemove:
      return "cannot remove";
    case Cause::kPlace:
      return "cannot place";
    case Cause::kEndJournal:
      return "cannot end the journal in";
    case Cause::kNoRoom:
      return "no room for";
    case Cause::kPartialInTheWay:
      return "in the way";
    case Cause::kOutputError:
      return "cannot write the output";
    case Cause::kSourceUnreadable:
      return "cannot be read";
    case Cause::kPathTooLong:
      return "longer than 259 units";
    case Cause::kNotAFile:
      return "not a file or folder";
    case Cause::kBadTime:
      return "a time before 1601 or after 30827";
    case Cause::kPackageTooLarge:
      return "over 2 GiB";
  }
  return "unknown cause";
}

// By hand: the C runtime's formatting would bring its whole printf into the program.
WString Decimal(uint64_t n) {
  WString digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + n % 10));
    n /= 10;
  } while (n != 0);
  return digits;
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
