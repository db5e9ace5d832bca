// What a record meets in the game folder and how the staging plan takes in
// the decision on it: the steps the install (record_stager.cc) and a plan
// (forecast.cc) share, so that neither decides or notes anything its own way.
#pragma once

#include "apply/decision.h"
#include "apply/staging.h"
#include "package/failure.h"
#include "package/record_reader.h"
#include "platform/file.h"

namespace updater::apply {

// What stands where a record needs room: the name of a plain file where it
// needs a folder, or of a plain folder where its own file goes (`folder`);
// empty where nothing does.
struct InTheWay {
  WString name;
  bool folder = false;
};

// Looks at what stands at the record's names, as far as the walk to them
// tells, before any decision: for a file the install writes, that every
// folder on its way is a plain folder (those missing are planned) and the
// file itself missing or a plain file it may write now, or what must go
// aside (`in_way`); for a removal, whether an earlier record moves its
// file aside already, else what the walk to it finds. `parent`: the
// deepest folder held on its way, the one the record changes (the file's
// own folder, or where its missing folders are made).
Failure FindTarget(Staging& staging, const package::Record& record, StagedEntry& entry,
                   Found& found, InTheWay& in_way, const platform::Folder*& parent);

// Plans to move aside what `in_way` names, unless an entry already moves it.
Failure AddAside(Staging& staging, const InTheWay& in_way);

// Opens the entry `name` to read it, through the folder it lies in, as the
// run reads the game's files (a plan: as the pending recovery leaves it).
platform::Result<platform::File> ReadEntryFile(Staging& staging, const WString& name);

// The identity of `file`, just opened, when it is a regular file of `size`
// bytes with the SHA-256 `hash`, read through the handle it is checked by.
platform::Result<platform::FileId> KnownFile(Staging& staging,
                                             platform::Result<platform::File> file, uint64_t size,
                                             const uint8_t (&hash)[32]);

// True when the target already is the file a delta (or a block) makes: a second run.
bool TargetIsCurrent(Staging& staging, const package::Record& record, const StagedEntry& entry);

// The index of the version of `record` found at its old names (told by
// size, then SHA-256), with its file's identity in `id`; -1 where none is.
int FoundVersion(Staging& staging, const package::Record& record, platform::FileId& id);

// The failure of a delta whose old file is not the version it patches: that
// file, and for a move the target it was read for.
Failure WrongOldFile(const Staging& staging, const package::Record& record,
                     const StagedEntry& entry, platform::Status status = {});

// `patched`, the patch of `old`, whose version was told by its bytes
// before; where the patch did not make its file and `old` is no longer that
// version, the game file changed since, not the package.
Failure BlameAChangedOldFile(const Failure& patched, const platform::File& old,
                             const package::Record& record, const Staging& staging);

// Makes the "alts" `record` the delta from its version `chosen`, whose bytes
// are known; where that patch's streams start, from the record's first.
int64_t BecomeDelta(package::Record& record, int chosen);

// The failure `decision` stands for, on the entry added last: with why its
// old file would not open (`opened`), or the rights `found` tells. Where the
// versions are listed beside it (a plan), their count is not.
Failure FailureOf(const Decision& decision, const package::Record& record, const Staging& staging,
                  const StagedEntry& entry, const Found& found, platform::Status opened,
                  bool listed = false);

// Brings the staging plan up to `decision` on `record`, whose entry was
// added last and whose bytes (if any) are staged: the entry dropped where
// nothing is to be done, the releases matched noted, a file kept named,
// a removal's file and folders planned to go, what stands in a written
// file's way planned to go aside.
Failure Settle(Staging& staging, const package::Record& record, const Decision& decision,
               const Found& found, const InTheWay& in_way, const platform::Folder* parent);

// Looks at what `Decide` asks until it decides on `record`; a delta's old
// file is looked at by `look_old` (the install patches it, a plan hashes
// it). The failure of a look that could not be made.
template <typename LookOld>
Failure DecideLooking(const package::Record& record, Staging& staging, StagedEntry& entry,
                      Found& found, Decision& decision, LookOld look_old) {
  for (;;) {
    decision = Decide(record, found);
    if (decision.look == Look::kNothing) return {};
    if (decision.look == Look::kCurrent) {
      found.current = TargetIsCurrent(staging, record, entry);
    } else if (record.is_delta()) {
      Failure failure = look_old();
      if (failure.failed()) return failure;
    } else {
      UPDATER_PHASE(staging.report.phases, kHashOld);
      platform::FileId id;
      found.version = FoundVersion(staging, record, id);
      if (record.kind == package::RecordKind::kRemove) entry.old_id = id;  // the file it moves
    }
  }
}

}  // namespace updater::apply
