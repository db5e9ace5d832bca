#include "package/failure.h"

namespace updater {

const char* Describe(Cause cause) {
  // In the order of Cause.
  static const char* const kWords[] = {
      "sound",                                    // kNone
      "cannot open the update",                   // kCannotOpenPackage
      "carries no package",                       // kNoPackage
      "a trailer length past the file",           // kBadTrailer
      "cannot read the update",                   // kPackageReadFailed
      "neither an entry nor the trailer",         // kBadTag
      "a version label that is not text",         // kBadLabel
      "a name the updater refuses",               // kBadName
      "a path taken already, ignoring case",      // kDuplicateName
      "cut inside the file times",                // kTimesCut
      "a damaged content stream",                 // kBadStream
      "a delta that does not make its file",      // kBadDelta
      "not the version the patch was made from",  // kWrongOldFile
      "cut short: no trailer",                    // kPackageCut
      "none of the versions the update patches",  // kNoKnownVersion
      "cannot open",                              // kGameFolderUnusable
      "another install holds",                    // kLockHeld
      "cannot lock",                              // kLockFailed
      "a staging folder not this user's alone",   // kStagingNotOurs
      "cannot undo an install in",                // kRecoveryFailed
      "a link, junction or folder in the way",    // kTargetRefused
      "cannot write (read-only or in use)",       // kTargetBusy
      "cannot create",                            // kCreateStaging
      "cannot stage",                             // kWriteStaged
      "cannot read",                              // kReadOldFile
      "cannot write the journal in",              // kWriteJournal
      "cannot sync",                              // kSync
      "cannot create a folder for",               // kCreateFolder
      "cannot replace",                           // kReplace
      "cannot place",                             // kPlace
      "cannot remove",                            // kRemove
      "cannot end the journal in",                // kEndJournal
      "no room for",                              // kNoRoom
      "cannot write the output",                  // kOutputError
      "in the way",                               // kPartialInTheWay
      "cannot be read",                           // kSourceUnreadable
      "longer than 259 units",                    // kPathTooLong
      "not a file or folder",                     // kNotAFile
      "a time before 1601 or after 30827",        // kBadTime
      "over 2 GiB",                               // kPackageTooLarge
  };
  static_assert(sizeof kWords / sizeof *kWords == static_cast<size_t>(Cause::kPackageTooLarge) + 1,
                "a word for every cause");
  return kWords[static_cast<size_t>(cause)];
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
