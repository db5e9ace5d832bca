#include "apply/decision.h"

namespace updater::apply {
namespace {

using package::RecordKind;

Decision LookAt(Look look) {
  Decision decision;
  decision.look = look;
  return decision;
}

Decision Decided(Action action, uint32_t releases = 0, int version = -1) {
  Decision decision;
  decision.action = action;
  decision.releases = releases;
  decision.version = static_cast<int8_t>(version);
  return decision;
}

Decision Failed(Cause cause) {
  Decision decision;
  decision.cause = cause;
  return decision;
}

// True when the version `v` of `record` is read from another name than its own: a move.
bool Moved(const package::Record& record, int v) { return OldNameOf(record, v) != record.name; }

// A removal takes only the very versions it lists; a file already missing
// (or the folder the update's files now lie in) is done, and any other
// content at its name is the player's and stays.
Decision DecideRemoval(const package::Record& record, const Found& found) {
  bool gone = found.target != AtTarget::kFile;
  if (!found.aside && gone) return Decided(Action::kCurrent, record.current_in);
  if (found.version == kNotLooked) return LookAt(Look::kVersion);
  int v = found.version;
  uint32_t releases = v >= 0 ? record.versions[v].releases : 0;
  // Already going aside to make room for a record: that move is the removal.
  if (found.aside) return Decided(Action::kRemove, releases, v);
  return v >= 0 ? Decided(Action::kRemove, releases, v) : Decided(Action::kKeep);
}

// A whole file: added, or in place of a file or a folder; a file of a
// block knows its new bytes' size and SHA-256, and one already there (a
// second run) is done.
Decision DecideWhole(const package::Record& record, const Found& found) {
  if (found.target == AtTarget::kNothing) return Decided(Action::kAdd);
  bool told = record.in_block && found.target == AtTarget::kFile;
  if (told && found.current == kNotLooked) return LookAt(Look::kCurrent);
  return Decided(told && found.current == 1 ? Action::kCurrent : Action::kReplace);
}

// A patch (a delta, or an "alts" record's patch from the version found),
// from its old file, where that is the version it patches; where none is,
// the target's own bytes tell a second run, and an "alts" record's whole
// file repairs a file of no release.
Decision DecidePatched(const package::Record& record, const Found& found) {
  bool choice = record.kind == RecordKind::kChoice;
  bool by_target = found.target == AtTarget::kFile;
  // A delta's old file is told as its patch reads it: a move already made
  // is told first, by the target, before any patching.
  if (!choice && Moved(record, 0) && by_target && found.current == kNotLooked) {
    return LookAt(Look::kCurrent);
  }
  if (found.current != 1 && found.version == kNotLooked) return LookAt(Look::kVersion);
  int v = found.version;
  // The target's own bytes decide only where no version is there in its
  // place: none was found, or the one found is read from another name.
  bool in_place = v >= 0 && !Moved(record, v);
  if (by_target && !in_place && found.current == kNotLooked) return LookAt(Look::kCurrent);
  uint32_t releases = choice && v >= 0 ? record.versions[v].releases : 0;
  if (!in_place && found.current == 1) {
    return Decided(Action::kCurrent, v >= 0 ? releases : record.current_in);
  }
  if (v >= 0) return Decided(Action::kPatch, releases, choice ? v : -1);
  if (choice && record.whole_length != 0) return Decided(Action::kWhole);
  return Failed(choice ? Cause::kNoKnownVersion : Cause::kWrongOldFile);
}

}  // namespace

const WString& OldNameOf(const package::Record& record, int version) {
  if (record.kind == RecordKind::kChoice && version >= 0) return record.old_names[version];
  return record.is_delta() ? record.old_name : record.name;
}

Decision Decide(const package::Record& record, const Found& found) {
  Decision decision = record.kind == RecordKind::kRemove ? DecideRemoval(record, found)
                      : record.kind == RecordKind::kFile ? DecideWhole(record, found)
                                                         : DecidePatched(record, found);
  // What changes the folder needs the right to; the install meets the
  // OS's refusal as it commits, a plan that looked meets it here.
  Action action = decision.action;
  bool changes = decision.look == Look::kNothing && action != Action::kKeep &&
                 action != Action::kCurrent && action != Action::kFail;
  if (changes && !found.rights) {
    decision = Failed(action == Action::kRemove ? Cause::kRemove
                      : action == Action::kAdd  ? Cause::kPlace
                                                : Cause::kReplace);
  }
  return decision;
}

}  // namespace updater::apply
