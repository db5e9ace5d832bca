#include "apply/record_stager.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "apply/decision.h"
#include "apply/patch_writer.h"
#include "package/content_stream.h"

namespace updater::apply {
namespace {

using package::kInflateBufferSize;

// What stands where a record needs room: the name of a plain file where it
// needs a folder, or of a plain folder where its own file goes (`folder`);
// empty where nothing does.
struct InTheWay {
  WString name;
  bool folder = false;
};

// Walks from the root to the folder the entry `name` lies in, holding each
// folder on the way: the first that is missing, or a file (`blocked_by_file`),
// is `blocked`, and nothing below it exists. A link, a junction, or what
// cannot be told on the way fails it.
Failure WalkTo(Staging& staging, const WString& name, const WString& target, WString& blocked,
               bool& blocked_by_file) {
  const platform::Folder* parent = &staging.folders.root();
  for (const WString& folder : package::FoldersOf(name)) {
    platform::Result<const platform::Folder*> held = staging.folders.Get(folder);
    platform::Result<platform::NodeKind> kind =
        held ? platform::NodeKind::kFolder
             : platform::KindIn(*parent, package::LastComponent(folder));
    blocked_by_file = kind && *kind == platform::NodeKind::kFile;
    if (blocked_by_file || (kind && *kind == platform::NodeKind::kMissing)) {
      blocked = folder;
      return {};
    }
    if (!held) return Fail(Cause::kTargetRefused, target, kind.status());
    parent = *held;
  }
  return {};
}

// Checks that the entry `name` can be written below the root: every folder
// on its way that exists is a plain folder (no link or junction), the file
// itself is missing or a plain file that can be opened for writing now.
// Folders still missing are added to the staging plan. A plain file on the
// way, or a plain folder at the name, is told in `in_way`: it goes aside
// (AddAside), and what lies below that file is missing.
Failure CheckTarget(Staging& staging, const WString& name, StagedEntry& entry, InTheWay& in_way) {
  WString blocked;
  bool by_file = false;
  Failure walked = WalkTo(staging, name, entry.target, blocked, by_file);
  if (walked.failed()) return walked;
  // Below a missing folder everything is missing: those folders are made.
  bool missing = !blocked.empty();
  if (by_file) in_way = {blocked, false};
  for (const WString& folder : package::FoldersOf(name)) {
    if (!missing || folder.size() < blocked.size()) continue;
    std::vector<WString>& made = staging.new_folders;
    if (std::find(made.begin(), made.end(), folder) == made.end()) made.push_back(folder);
  }
  if (missing) return {};
  if (const StagedEntry* pending = PendingAt(staging, name)) {
    entry.existed = pending->existed;  // a plan's: its old file comes back, or a new one goes
    return {};
  }
  // Every folder on the way is held now: the loop above held each one.
  const platform::Folder& parent = **staging.folders.ParentOf(name);
  WString leaf = package::LastComponent(name);
  // A plain file that can be written now, its identity (for the journal)
  // read through the handle that opened it: one call where all is well.
  platform::Result<platform::FileId> writable =
      platform::WritableFileIn(parent, leaf, &entry.read_only);
  if (!writable) {
    platform::Result<platform::NodeKind> kind = platform::KindIn(parent, leaf);
    if (kind && *kind == platform::NodeKind::kMissing) return {};
    if (kind && *kind == platform::NodeKind::kFolder) {
      in_way = {name, true};
      return {};
    }
    if (kind && *kind == platform::NodeKind::kFile) {
      return Fail(Cause::kTargetBusy, entry.target, writable.status());
    }
    return Fail(Cause::kTargetRefused, entry.target, kind.status());
  }
  entry.existed = true;
  entry.old_id = *writable;
  platform::Result<uint32_t> mode = platform::ModeIn(parent, leaf);
  if (!mode) return Fail(Cause::kTargetRefused, entry.target, mode.status());
  entry.old_mode = *mode;
  return {};
}

// Plans to move aside what `in_way` names, unless an entry already moves it
// (a removal, or the room an earlier record made): the very item found
// now, told by its identity at the commit.
Failure AddAside(Staging& staging, const InTheWay& in_way) {
  if (in_way.name.empty() || EntryMovingAside(staging, in_way.name)) return {};
  WString target = TargetOf(staging, in_way.name);
  platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(in_way.name);
  if (!parent) return Fail(Cause::kTargetRefused, target, parent.status());
  WString leaf = package::LastComponent(in_way.name);
  platform::Result<platform::FileId> id = platform::Status::Refused();
  bool read_only = false;
  if (in_way.folder) {
    platform::Result<const platform::Folder*> held = staging.folders.Get(in_way.name);
    id = held ? platform::FolderId(**held) : platform::Result<platform::FileId>(held.status());
  } else {
    id = platform::FileIdIn(**parent, leaf, platform::Links::kRefuse, &read_only);
  }
  if (!id) return Fail(Cause::kTargetRefused, target, id.status());
  // A removal that kept it (another version) no longer does: it goes aside.
  std::vector<WString>& kept = staging.report.kept;
  kept.erase(std::remove(kept.begin(), kept.end(), in_way.name), kept.end());
  AddStagedEntry(staging, in_way.name, target);
  StagedEntry& aside = staging.entries.back();
  aside.existed = aside.removal = aside.aside = true;
  aside.folder = in_way.folder;
  aside.read_only = read_only;
  aside.old_id = *id;
  return {};
}

// Creates the staged file of `entry` into `file`, for its bytes.
[[gnu::noinline]] Failure CreateStaged(const Staging& staging, const StagedEntry& entry,
                                       platform::File& file) {
  platform::Result<platform::File> made =
      platform::CreateFileIn(staging.staging_folder, entry.staged);
  if (!made) return Fail(Cause::kWriteStaged, entry.target, made.status());
  file = std::move(*made);
  return {};
}

// Gives the staged `file` whose bytes were written (`filled` did not fail)
// its times, and the mode of the file it replaces (a game's programs stay
// runnable); on disk before it returns where each file is synced. Its
// identity, for the journal, is read through it. The file is closed in any
// case.
[[gnu::noinline]] Failure FinishStaged(StagedEntry& entry, const EntryTimes& times,
                                       platform::File& file, const Failure& filled,
                                       StagedSync* sync, [[maybe_unused]] PhaseTimes* phases) {
  if (filled.failed()) {
    (void)file.Close();  // so that it can go (Windows)
    return filled;
  }
  platform::Status done;
  {
    UPDATER_PHASE(*phases, kFinish);
    done = file.Identity(entry.new_id.volume, entry.new_id.index);
    if (done && entry.existed) done = file.SetMode(entry.old_mode);
    if (done) done = file.SetTimes(times.creation, times.last_access, times.last_write);
  }
  UPDATER_PHASE(*phases, kSync);
  // Where each file is synced alone, a whole file is synced beside the next
  // one's writing (`sync`): nothing removes it before the journal is written.
  if (done && !platform::kHasFileSystemSync && sync && (done = file.Flush())) {
    done = sync->Add(std::move(file));
    return done ? Failure() : Fail(Cause::kSync, entry.target, done);
  }
  if (done && !platform::kHasFileSystemSync) done = file.Sync();
  platform::Status closed = file.Close();
  if (done) done = closed;
  if (!done) return Fail(Cause::kWriteStaged, entry.target, done);
  return {};
}

// The SHA-256 of `file`, `size` bytes, known as `id`: hashed on first sight,
// then remembered for the run; null where it cannot be read whole.
const uint8_t* DigestOf(Staging& staging, const platform::File& file, const platform::FileId& id,
                        uint64_t size) {
  platform::Result<EntryTimes> times = file.Times();
  if (!times) return nullptr;
  for (const HashedFile& known : staging.hashed) {
    if (known.id == id && known.size == size && known.last_write == times->last_write) {
      return known.sha256;
    }
  }
  OldFileCheck check(file, size, nullptr);
  check.Check();
  if (!check.hashed) return nullptr;
  staging.hashed.push_back({id, size, times->last_write, {}});
  std::memcpy(staging.hashed.back().sha256, check.digest, 32);
  return staging.hashed.back().sha256;
}

// Opens the entry `name` to read it, through the folder it lies in, as the
// run reads the game's files.
platform::Result<platform::File> ReadEntryFile(Staging& staging, const WString& name) {
  if (const StagedEntry* pending = PendingAt(staging, name)) {
    if (!pending->existed) return platform::Status::Error(platform::MissingError());
    return staging.read_file(staging.staging_folder, pending->backup);
  }
  platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(name);
  if (!parent) return parent.status();
  return staging.read_file(**parent, package::LastComponent(name));
}

// The identity of `file`, just opened, when it is a regular file of `size`
// bytes with the SHA-256 `hash`, read through the handle it is checked by.
platform::Result<platform::FileId> KnownFile(Staging& staging,
                                             platform::Result<platform::File> file, uint64_t size,
                                             const uint8_t (&hash)[32]) {
  if (!file) return file.status();
  // Another size is another version, told without reading it.
  if (!file->Seek(0, SEEK_END) || static_cast<uint64_t>(file->Tell()) != size) {
    return platform::Status::Refused();
  }
  platform::FileId id;
  platform::Status known = file->Identity(id.volume, id.index);
  if (!known) return known;
  const uint8_t* digest = DigestOf(staging, *file, id, size);
  if (!digest || std::memcmp(digest, hash, 32) != 0) return platform::Status::Refused();
  return id;
}

// True when the target already is the file a delta (or a block) makes: a second run.
bool TargetIsCurrent(Staging& staging, const package::Record& record, const StagedEntry& entry) {
  if (!entry.existed) return false;
  return static_cast<bool>(KnownFile(staging, ReadEntryFile(staging, entry.name),
                                     record.delta.new_size, record.delta.new_hash));
}

// The failure of a delta whose old file is not the version it patches: that
// file, and for a move the target it was read for.
Failure WrongOldFile(const Staging& staging, const package::Record& record,
                     const StagedEntry& entry, platform::Status status = {}) {
  if (record.old_name == record.name) return Fail(Cause::kWrongOldFile, entry.target, status);
  return Fail(Cause::kWrongOldFile,
              TargetOf(staging, record.old_name) + u" (read for " + entry.target + u")", status);
}

// `patched`, the patch of `old`, whose version was told by its bytes
// before; where the patch did not make its file and `old` is no longer that
// version, the game file changed since, not the package.
Failure BlameAChangedOldFile(const Failure& patched, const platform::File& old,
                             const package::Record& record, const Staging& staging) {
  // Literals coded after the old file decode from its bytes: another file
  // makes them fail as a stream.
  bool from_old = patched.cause == Cause::kBadDelta ||
                  (record.literals_after_old && patched.cause == Cause::kBadStream);
  if (!from_old) return patched;
  OldFileCheck check(old, record.delta.old_size, &record.delta.old_hash);
  check.Check();
  if (!check.read || check.expected) return patched;
  return Fail(Cause::kOldFileChanged, TargetOf(staging, record.old_name));
}

// Patches the old file of the delta `record` (at its own name, or the one a
// move names) into the entry's staged file while another thread checks that
// it is the very version the record was made from: `found.version` is 0
// where it is, -1 where not or where there is none (why it would not open
// in `opened`). A version already told by its bytes (`verified`) is not
// checked again. Fails where the patch, the old file's reading or the
// staged file fails, but not for another version's bytes.
Failure PatchOld(platform::File& package, const package::RecordReader& reader,
                 const package::Record& record, Staging& staging, StagedEntry& entry, Found& found,
                 platform::Status& opened, bool verified = false) {
  found.version = -1;
  // Not moved and no file at the target: there is no old file to patch.
  platform::Result<platform::File> old =
      entry.existed || record.old_name != record.name
          ? ReadEntryFile(staging, record.old_name)
          : platform::Result<platform::File>(platform::Status::Error(platform::MissingError()));
  if (!old) {
    opened = old.status();
    return {};
  }
  // A record may declare any size: what cannot fit is refused before a byte is written.
  platform::Result<uint64_t> room = platform::Status::Refused();
  {
    UPDATER_PHASE(staging.report.phases, kCheckTarget);
    room = platform::FreeSpace(staging.staging_folder);
  }
  if (room && *room < record.delta.new_size) {
    return Fail(Cause::kNoRoom, entry.target + u" (needs " + Decimal(record.delta.new_size) +
                                    u" bytes, " + Decimal(*room) + u" free)");
  }
  // A version already told by its bytes needs no check (were it changed
  // since, the new file's SHA-256 would refuse the patch).
  OldFileCheck check(*old, record.delta.old_size, &record.delta.old_hash, verified);
  // A small file is checked first and hashed as it is made, on this thread:
  // threads of its own would cost it more than they save.
  bool threaded = !verified && record.delta.old_size + record.delta.new_size >= kThreadedPatch;
  platform::Result<platform::Thread> checker =
      threaded ? platform::StartThread(OldFileCheck::Run, &check)
               : platform::Result<platform::Thread>(platform::Status::Refused());  // on this one
  if (!checker && !verified) {
    UPDATER_PHASE(staging.report.phases, kHashOld);
    OldFileCheck::Run(&check);
  }
  platform::File out;
  Failure patched = CreateStaged(staging, entry, out);
  if (!patched.failed()) {
    {
      UPDATER_PHASE(staging.report.phases, kPatch);
      patched = Patch(package, reader, record, *old, check, checker ? &*checker : nullptr, &out);
    }
    patched = FinishStaged(entry, record.times, out, patched, nullptr, &staging.report.phases);
  }
  if (checker) {
    UPDATER_PHASE(staging.report.phases, kHashOld);  // what the patch did not hide
    checker->Join();
  }
  if (!check.read) return Fail(Cause::kReadOldFile, entry.target, check.read);
  if (!check.expected) return {};  // another version: what the patch made is not the new file
  found.version = 0;
  return verified ? BlameAChangedOldFile(patched, *old, record, staging) : patched;
}

// The index of the version of `record` found at its old names (told by
// size, then SHA-256), with its file's identity in `id`; -1 where none is.
int FoundVersion(Staging& staging, const package::Record& record, platform::FileId& id) {
  for (int i = 0; i < record.version_count; ++i) {
    const package::Version& version = record.versions[i];
    platform::Result<platform::FileId> known = KnownFile(
        staging, ReadEntryFile(staging, OldNameOf(record, i)), version.size, version.hash);
    if (known) {
      id = *known;
      return i;
    }
  }
  return -1;
}

// Walks to the file a removal names, through plain folders only: what is
// there goes in `found`, the folder it lies in in `parent`. Nothing is
// below a missing folder, or below a file (the folder of an earlier
// release, a file again).
Failure FindRemoved(Staging& staging, const StagedEntry& entry, Found& found,
                    const platform::Folder*& parent) {
  WString blocked;
  bool by_file = false;
  Failure walked = WalkTo(staging, entry.name, entry.target, blocked, by_file);
  if (walked.failed() || !blocked.empty()) return walked;
  parent = *staging.folders.ParentOf(entry.name);  // held by the walk
  if (const StagedEntry* pending = PendingAt(staging, entry.name)) {
    found.target = pending->existed ? AtTarget::kFile : AtTarget::kNothing;  // a plan's
    return {};
  }
  platform::Result<platform::NodeKind> kind =
      platform::KindIn(*parent, package::LastComponent(entry.name));
  if (kind && *kind == platform::NodeKind::kMissing) return {};
  // A folder the update's files lie in, where an earlier release had this
  // file: the update made it, or it is the player's, and it stays. Anything
  // else is told by its bytes.
  bool own_folder =
      kind && *kind == platform::NodeKind::kFolder && staging.folders.Holds(entry.name);
  found.target = own_folder ? AtTarget::kFolder : AtTarget::kFile;
  return {};
}

// Looks at what stands at the record's names, as far as the walk to them
// tells, before any decision: for a file the install writes, `CheckTarget`;
// for a removal, whether an earlier record moves its file aside already,
// else the walk to it.
Failure FindTarget(Staging& staging, const package::Record& record, StagedEntry& entry,
                   Found& found, InTheWay& in_way, const platform::Folder*& parent) {
  if (record.kind == package::RecordKind::kRemove) {
    const StagedEntry* aside = EntryMovingAside(staging, record.name);
    found.aside = aside && aside->aside && !aside->folder;
    return found.aside ? Failure() : FindRemoved(staging, entry, found, parent);
  }
  Failure failure;
  {
    UPDATER_PHASE(staging.report.phases, kCheckTarget);
    failure = CheckTarget(staging, record.name, entry, in_way);
  }
  found.target = in_way.folder   ? AtTarget::kFolder
                 : entry.existed ? AtTarget::kFile
                                 : AtTarget::kNothing;
  return failure;
}

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

// The failure `decision` stands for, on the entry added last: with why its
// old file would not open (`opened`), or the rights `found` tells. Where the
// versions are listed beside it (a plan), their count is not.
Failure FailureOf(const Decision& decision, const package::Record& record, const Staging& staging,
                  const StagedEntry& entry, const Found& found, platform::Status opened,
                  bool listed = false) {
  if (decision.cause == Cause::kWrongOldFile) return WrongOldFile(staging, record, entry, opened);
  if (decision.cause != Cause::kNoKnownVersion)
    return Fail(decision.cause, entry.target, found.rights);
  WString path = entry.target;
  if (!listed) path += u" (" + Decimal(record.version_count) + u" versions known)";
  return Fail(decision.cause, path);
}

// Brings the staging plan up to `decision` on `record`, whose entry was
// added last and whose bytes (if any) are staged: the entry dropped where
// nothing is to be done, the releases matched noted, a file kept named,
// a removal's file and folders planned to go, what stands in a written
// file's way planned to go aside. The same for the install and a plan.
Failure Settle(Staging& staging, const package::Record& record, const Decision& decision,
               const Found& found, const InTheWay& in_way, const platform::Folder* parent) {
  StagedEntry& entry = staging.entries.back();
  NoteMatch(staging.report, record, decision.releases);  // a record of no versions notes none
  if (decision.action == Action::kCurrent) return DropCurrentEntry(staging);
  // A written file: what stands in its way goes aside as the commit places it.
  if (decision.action != Action::kKeep && decision.action != Action::kRemove) {
    return AddAside(staging, in_way);
  }
  if (decision.action == Action::kKeep) staging.report.kept.push_back(entry.name);
  if (found.aside)
    EntryMovingAside(staging, record.name)->aside = false;  // that move is the removal
  if (decision.action == Action::kKeep || found.aside) {
    staging.entries.pop_back();  // nothing of its own to do: it stays, or goes with that move
    return {};
  }
  entry.removal = entry.existed = true;  // the commit moves the file found and no other
  entry.releases = decision.releases;
  // Only whether it is read-only is taken from this, through a handle that
  // opens it for nothing: one in use is told at the commit.
  (void)platform::FileIdIn(*parent, package::LastComponent(entry.name), platform::Links::kRefuse,
                           &entry.read_only);
  // Its folders may go too, each only after every folder below it.
  std::vector<WString>& gone = staging.gone_folders;
  for (const WString& folder : package::FoldersOf(entry.name)) {
    if (std::find(gone.begin(), gone.end(), folder) != gone.end()) continue;
    auto depth = [](const WString& name) { return std::count(name.begin(), name.end(), u'\\'); };
    gone.insert(std::find_if(gone.begin(), gone.end(),
                             [&](const WString& other) { return depth(other) < depth(folder); }),
                folder);
  }
  return {};
}

// Makes the "alts" `record` the delta from its version `chosen`, whose bytes
// are known; where that patch's streams start, from the record's first.
int64_t BecomeDelta(package::Record& record, int chosen) {
  const package::Version& version = record.versions[chosen];
  record.kind = package::RecordKind::kDelta;
  record.old_name = record.old_names[chosen];
  record.delta.old_size = version.size;
  std::memcpy(record.delta.old_hash, version.hash, 32);
  std::memcpy(record.stream_lengths, record.patch_lengths[version.patch], 16);
  for (int p = 0; p < version.patch; ++p) {
    for (int s = 0; s < 4; ++s) record.part_skip[s] += record.patch_lengths[p][s];
  }
  return record.in_block ? 0 : record.patch_offset(version.patch);  // a block's: none here
}

// Stages the whole file the record read last holds: its zlib stream at the
// package's position, or its part of its solid block's stream.
Failure StageWhole(package::RecordReader& reader, const package::Record& record, Staging& staging,
                   StagedEntry& entry) {
  platform::File out;
  Failure failure;
  {
    UPDATER_PHASE(staging.report.phases, kCreate);
    failure = CreateStaged(staging, entry, out);
  }
  if (failure.failed()) return failure;
  platform::Status written;
  package::SinkTo write([&](const uint8_t* data, size_t size) {
    UPDATER_PHASE(staging.report.phases, kWrite);
    written = out.Write(data, size);
    return written.ok();
  });
  package::InflateResult inflated;
  {
    UPDATER_PHASE(staging.report.phases, kInflate);  // the writes too: the report takes them out
    inflated = reader.Content(write);
  }
  return FinishStaged(entry, record.times, out,
                      InflateFailure(inflated, reader, record.target, written), staging.sync.get(),
                      &staging.report.phases);
}

// Stages what `decision` says of the record read last, whose streams (a
// delta's, an "alts" record's) start at `streams`, a delta's already
// patched where its old file was looked at; the package is left after them.
// An "alts" record patched becomes the delta it applies.
Failure Carry(platform::File& package, package::RecordReader& reader, package::Record& record,
              const Decision& decision, Staging& staging, StagedEntry& entry, int64_t streams) {
  if (record.kind == package::RecordKind::kRemove) return {};  // nothing to stage
  bool choice = record.kind == package::RecordKind::kChoice;
  int64_t end = streams + record.streams_size();
  Failure staged;
  platform::Status at;
  if (decision.action == Action::kAdd || decision.action == Action::kReplace) {
    return StageWhole(reader, record, staging, entry);
  } else if (decision.action == Action::kPatch && choice) {
    Found patched;
    platform::Status opened;
    at = package.Seek(streams + BecomeDelta(record, decision.version), SEEK_SET);
    if (at) staged = PatchOld(package, reader, record, staging, entry, patched, opened, true);
    if (at && !staged.failed() && patched.version < 0) {
      staged = WrongOldFile(staging, record, entry, opened);  // gone since it was told
    }
  } else if (decision.action == Action::kWhole) {
    at = package.Seek(streams + record.patch_offset(record.patch_count), SEEK_SET);
    if (at) staged = StageWhole(reader, record, staging, entry);
    if (at && !staged.failed() && package.Tell() != end) staged = reader.Fault(Cause::kBadStream);
  } else if (decision.action == Action::kCurrent && record.in_block && !record.is_delta()) {
    return {};  // its bytes are passed over by the reader
  }
  if (!at) return reader.Fault(Cause::kPackageReadFailed, at);
  if (staged.failed()) return staged;
  at = package.Seek(end, SEEK_SET);
  return at ? Failure() : reader.Fault(Cause::kPackageReadFailed, at);
}

}  // namespace

Failure StageRecord(platform::File& package, package::RecordReader& reader, package::Record& record,
                    Staging& staging) {
  AddStagedEntry(staging, record.name, record.target);
  StagedEntry& entry = staging.entries.back();
  int64_t streams = package.Tell();
  Found found;
  InTheWay in_way;
  const platform::Folder* parent = nullptr;
  Failure failure = FindTarget(staging, record, entry, found, in_way, parent);
  if (failure.failed()) return failure;
  // A delta's old file is told as its patch reads it.
  platform::Status opened;
  Decision decision;
  failure = DecideLooking(record, staging, entry, found, decision, [&] {
    return PatchOld(package, reader, record, staging, entry, found, opened);
  });
  if (failure.failed()) return failure;
  if (decision.action == Action::kFail) {
    return FailureOf(decision, record, staging, entry, found, opened);
  }
  // What the patch made from another version goes: the target is current.
  if (record.is_delta() && decision.action == Action::kCurrent && found.version == -1) {
    (void)platform::RemoveFileIn(staging.staging_folder, entry.staged);
  }
  if (!(record.is_delta() && decision.action == Action::kPatch)) {
    failure = Carry(package, reader, record, decision, staging, entry, streams);
    if (failure.failed()) return failure;
  }
  return Settle(staging, record, decision, found, in_way, parent);
}

namespace {

// The releases a plan shows for a decision: those whose version is there;
// none for a removal already made.
uint32_t ShownReleases(const package::Record& record, const Decision& decision) {
  bool removed = record.kind == package::RecordKind::kRemove && decision.action == Action::kCurrent;
  return removed ? 0 : decision.releases;
}

// The folder a record changes, as far as it is held: the one its file
// lies in, or the nearest one above it (where its folders are made).
const platform::Folder* ChangedFolder(Staging& staging, const WString& name) {
  for (WString folder = name; !folder.empty();) {
    size_t cut = folder.rfind(u'\\');
    folder.resize(cut == WString::npos ? 0 : cut);
    if (platform::Result<const platform::Folder*> held = staging.folders.Get(folder)) return *held;
  }
  return &staging.folders.root();
}

}  // namespace

Forecast ForecastRecord(const package::Record& record, Staging& staging) {
  AddStagedEntry(staging, record.name, record.target);
  StagedEntry& entry = staging.entries.back();
  Forecast forecast;
  Found found;
  InTheWay in_way;
  const platform::Folder* parent = nullptr;
  forecast.failure = FindTarget(staging, record, entry, found, in_way, parent);
  if (forecast.failure.failed()) return forecast;
  // The rights the install will have where it changes the folder.
  found.rights = platform::MayChangeFolder(*ChangedFolder(staging, record.name));
  Decision decision;
  forecast.failure = DecideLooking(record, staging, entry, found, decision, [&] {
    bool known = static_cast<bool>(KnownFile(staging, ReadEntryFile(staging, record.old_name),
                                             record.delta.old_size, record.delta.old_hash));
    found.version = known ? 0 : -1;
    return Failure();
  });
  if (forecast.failure.failed()) return forecast;
  forecast.action = decision.action;
  forecast.version = decision.version;
  forecast.releases = ShownReleases(record, decision);
  if (decision.action == Action::kFail) {
    NoteMatch(staging.report, record, 0);  // a file that fails matches no release
    forecast.failure = FailureOf(decision, record, staging, entry, found, {}, true);
    return forecast;
  }
  forecast.failure = Settle(staging, record, decision, found, in_way, parent);
  if (forecast.failure.failed()) forecast.action = Action::kFail;
  if (decision.action == Action::kRemove || decision.action == Action::kKeep ||
      decision.action == Action::kCurrent) {
    return forecast;
  }
  forecast.in_way = in_way.name;
  forecast.in_way_folder = in_way.folder;
  return forecast;
}

Failure CheckFoldersMovedAside(Staging& staging) {
  // By index: folders found inside are added as the loop goes, after the
  // folder that holds them (the commit moves them last first).
  for (size_t i = 0; i < staging.entries.size(); ++i) {
    if (!staging.entries[i].folder) continue;
    WString name = staging.entries[i].name;
    platform::Result<const platform::Folder*> held = staging.folders.Get(name);
    platform::Result<std::vector<platform::FolderItem>> items =
        held ? platform::ListFolder(**held)
             : platform::Result<std::vector<platform::FolderItem>>(held.status());
    if (!items) return Fail(Cause::kTargetRefused, TargetOf(staging, name), items.status());
    for (const platform::FolderItem& item : *items) {
      WString inner = name + u"\\" + item.name;
      platform::Result<platform::NodeKind> kind = platform::KindIn(**held, item.name);
      const StagedEntry* going = EntryMovingAside(staging, inner);
      bool file = kind && *kind == platform::NodeKind::kFile;
      if (kind && *kind == platform::NodeKind::kFolder && !going) {
        Failure failure = AddAside(staging, {inner, true});
        if (failure.failed()) return failure;
      } else if (!file || !going || going->folder) {
        return Fail(Cause::kKeptInReplacedFolder, TargetOf(staging, inner), kind.status());
      }
    }
  }
  return {};
}

Failure DryPatch(platform::File& package, const package::RecordReader& reader,
                 package::Record record, const Forecast& forecast, Staging& staging) {
  int64_t streams = package.Tell();
  if (forecast.version >= 0) {
    platform::Status at = package.Seek(streams + BecomeDelta(record, forecast.version), SEEK_SET);
    if (!at) return reader.Fault(Cause::kPackageReadFailed, at);
  }
  platform::Result<platform::File> old = ReadEntryFile(staging, record.old_name);
  if (!old) return Fail(Cause::kReadOldFile, TargetOf(staging, record.old_name), old.status());
  // Its version was told by its bytes.
  OldFileCheck check(*old, record.delta.old_size, &record.delta.old_hash, true);
  return BlameAChangedOldFile(Patch(package, reader, record, *old, check, nullptr, nullptr), *old,
                              record, staging);
}

}  // namespace updater::apply
