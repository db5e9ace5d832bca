#include "package/failure.h"

#include <cstddef>

namespace updater {

namespace {

// How many words `text` (of `size` bytes) holds, each ended by a zero.
constexpr size_t CountWords(const char* text, size_t size) {
  size_t words = 0;
  for (size_t i = 0; i < size; ++i) words += text[i] == 0;
  return words;
}

// In the order of Cause, back to back, each ended by its zero: one string,
// not a table of pointers the program would have to relocate.
constexpr char kWords[] =
    "sound\0"                                                  // kNone
    "cannot open the update\0"                                 // kCannotOpenPackage
    "carries no package\0"                                     // kNoPackage
    "a trailer length past the file\0"                         // kBadTrailer
    "cannot read the update\0"                                 // kPackageReadFailed
    "neither an entry nor the trailer\0"                       // kBadTag
    "a version label that is not text\0"                       // kBadLabel
    "a name the updater refuses\0"                             // kBadName
    "a path taken already, ignoring case\0"                    // kDuplicateName
    "cut inside the file times\0"                              // kTimesCut
    "a damaged content stream\0"                               // kBadStream
    "a delta that does not make its file\0"                    // kBadDelta
    "not the version the patch was made from\0"                // kWrongOldFile
    "cut short: no trailer\0"                                  // kPackageCut
    "none of the versions the update patches\0"                // kNoKnownVersion
    "damaged: its records fail their check\0"                  // kBadCheck
    "damaged: its program fails its check\0"                   // kBadImage
    "cannot open\0"                                            // kGameFolderUnusable
    "another install holds\0"                                  // kLockHeld
    "cannot lock\0"                                            // kLockFailed
    "a staging folder not this user's alone\0"                 // kStagingNotOurs
    "cannot undo an install in\0"                              // kRecoveryFailed
    "a link, junction or folder in the way\0"                  // kTargetRefused
    "cannot write (read-only or in use)\0"                     // kTargetBusy
    "cannot create\0"                                          // kCreateStaging
    "cannot stage\0"                                           // kWriteStaged
    "cannot read\0"                                            // kReadOldFile
    "cannot write the journal in\0"                            // kWriteJournal
    "cannot sync\0"                                            // kSync
    "cannot create a folder for\0"                             // kCreateFolder
    "cannot replace\0"                                         // kReplace
    "cannot place\0"                                           // kPlace
    "cannot remove\0"                                          // kRemove
    "cannot end the journal in\0"                              // kEndJournal
    "no room for\0"                                            // kNoRoom
    "a game file changed while it was read\0"                  // kOldFileChanged
    "not the update's, in a folder it replaces with a file\0"  // kKeptInReplacedFolder
    "cannot write the output\0"                                // kOutputError
    "in the way\0"                                             // kPartialInTheWay
    "cannot be read\0"                                         // kSourceUnreadable
    "longer than 259 units\0"                                  // kPathTooLong
    "not a file or folder\0"                                   // kNotAFile
    "a time before 1601 or after 30827\0"                      // kBadTime
    "over 2 GiB\0"                                             // kPackageTooLarge
    "changed while it was read\0";                             // kSourceChanged
// (The literal's own last zero ends it once more.)
static_assert(CountWords(kWords, sizeof kWords) == static_cast<size_t>(Cause::kSourceChanged) + 2,
              "a word for every cause");

}  // namespace

const char* Describe(Cause cause) {
  const char* word = kWords;
  for (auto i = static_cast<size_t>(cause); i > 0; --i) {
    while (*word++ != 0) {
    }
  }
  return word;
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
