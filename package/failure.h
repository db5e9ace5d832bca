// Why a build or an install stopped: one value, filled where the failure
// happens and carried up unchanged to the one place that presents it (a box
// and the debug channel in the program, a message and an exit code in the
// studio's tool).
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace updater {

enum class Cause : uint8_t {
  kNone,
  // Reading a package.
  kCannotOpenPackage,  // the update file cannot be opened
  kNoPackage,          // the file does not end with a trailer
  kBadTrailer,         // the trailer's length does not fit the file or the format
  kPackageReadFailed,  // the OS refused a read of the update file
  kBadTag,             // no record kind, or a version label past the first record
  kBadLabel,           // a version label that is not text a box may show
  kBadName,            // cut short, empty, or a name the updater refuses
  kDuplicateName,      // the same path as another ignoring case, or a file in a folder's place
  kTimesCut,           // the package ends inside the three times
  kBadStream,          // damaged, cut short, or a wrong Adler-32
  kBadDelta,           // a delta's operations or its result are not what it records
  kWrongOldFile,       // the file a delta patches is not the version it was made from
  kPackageCut,         // bytes follow the program, but no trailer ends them
  kNoKnownVersion,     // the installed file is none of the versions an update patches
  kBadCheck,           // the package's check record is not the SHA-256 of its records
  kBadImage,           // its image check record is not the SHA-256 of the program it follows
  // Installing.
  kGameFolderUnusable,    // the folder cannot be opened, or its staging path is too long
  kLockHeld,              // another install runs in the folder
  kLockFailed,            // the install lock cannot be taken
  kStagingNotOurs,        // a staging folder this user did not make alone
  kRecoveryFailed,        // an earlier install's journal cannot be undone
  kTargetRefused,         // a link, junction, folder or device where a file or folder goes
  kTargetBusy,            // an existing file that cannot be opened for writing now
  kCreateStaging,         // the staging folder cannot be created
  kWriteStaged,           // a staged file cannot be created or written
  kReadOldFile,           // the file a delta patches cannot be read
  kWriteJournal,          // the journal cannot be written
  kSync,                  // the staged files cannot be put on disk
  kCreateFolder,          // a folder of the update cannot be created
  kReplace,               // a file cannot be replaced
  kPlace,                 // a new file cannot be moved into place
  kRemove,                // a file to remove cannot be moved aside
  kEndJournal,            // the journal cannot be removed at the end
  kNoRoom,                // a record declares more bytes than the disk has free
  kOldFileChanged,        // a file told by its bytes changed before it was patched from
  kKeptInReplacedFolder,  // a file the update does not remove, in a folder a file replaces
  // Building.
  kOutputError,       // the output cannot be opened or written
  kPartialInTheWay,   // something is already at the build's temporary name
  kSourceUnreadable,  // a file or folder of the source cannot be read or listed
  kPathTooLong,       // a path of the source passes 259 UTF-16 units
  kNotAFile,          // neither a regular file nor a folder
  kBadTime,           // a file time a FILETIME cannot hold
  kPackageTooLarge,   // the output would reach 2 GiB
  kSourceChanged,     // a file of the source read twice was not the same both times
};

struct Failure {
  Cause cause = Cause::kNone;
  WString path;        // the file or folder at fault, where one is
  int os_error = 0;    // captured at the failing call; 0 where the OS gave none
  int entry = 0;       // number of the package entry at fault, from 1; 0 for none
  int64_t offset = 0;  // byte offset in the update file of that entry (or the trailer)

  bool failed() const { return cause != Cause::kNone; }
};

// A failure of `cause` at `path`, with the OS error of `status`.
Failure Fail(Cause cause, const WString& path, platform::Status status = {});

// What went wrong, in a few words of English (ASCII), for the debug channel
// and the studio's messages ("cannot replace", "another install holds").
const char* Describe(Cause cause);

// `n` in decimal digits.
WString Decimal(uint64_t n);

// One line: the description, the path and the system's message, each where
// there is one ("cannot replace: sub\\a.dat: Permission denied").
WString FailureText(const Failure& failure);

}  // namespace updater
