// What the install does with one record, decided from what was found at
// its names. The install and `updatepkg plan` both look at the game folder
// as `Decide` asks and act on (or print) what it returns: a dry run cannot
// decide otherwise than the install it foretells.
#pragma once

#include <cstdint>

#include "package/failure.h"
#include "package/record_reader.h"

namespace updater::apply {

// What stands at a record's target, as the walk to it found it.
enum class AtTarget : uint8_t {
  kNothing,  // missing (or below a missing folder, or below a file that goes aside)
  kFile,     // a plain file
  kFolder,   // a plain folder: where a file goes, it goes aside; for a removal, the update's own
};

// A fact not looked at yet.
inline constexpr int kNotLooked = -2;

// What was found for one record, as far as it was looked at.
struct Found {
  AtTarget target = AtTarget::kNothing;
  // A removal of a file that an earlier record already moves aside.
  bool aside = false;
  // The version at the record's old name: for an "alts" record or a
  // removal the index of the one installed, for a delta 0 where its old
  // file is the one it patches; -1 where none is.
  int version = kNotLooked;
  // 1 where the target already is the record's new file, 0 where not.
  int current = kNotLooked;
  // Whether the folder the record changes may be changed by this process,
  // where that was asked before the commit (a plan; the install learns it
  // as it commits).
  platform::Status rights;
};

// What the install does with a record, in the order `plan` counts them.
enum class Action : uint8_t { kAdd, kReplace, kPatch, kWhole, kRemove, kKeep, kCurrent, kFail };

// What to look at before a record can be decided.
enum class Look : uint8_t {
  kNothing,  // decided
  kVersion,  // Found::version: which version is there (a delta's: as its patch reads it)
  kCurrent,  // Found::current: whether the target already is the new file
};

// Eight bytes: returned in registers.
struct Decision {
  Action action = Action::kFail;
  Look look = Look::kNothing;
  Cause cause = Cause::kNone;  // kFail: why
  int8_t version = -1;         // kPatch of an "alts" record, kRemove: the version found
  uint32_t releases = 0;       // the releases whose version (or, kCurrent, new file) is there
};

// The decision on `record` given `found`; where a fact is missing, the
// look that would tell it.
Decision Decide(const package::Record& record, const Found& found);

// The name the version `version` (as Decide reports it) of `record` is read from.
const WString& OldNameOf(const package::Record& record, int version);

}  // namespace updater::apply
