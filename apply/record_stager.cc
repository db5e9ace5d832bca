#include "apply/record_stager.h"

#include <algorithm>
#include <cstring>
#include <vector>

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

// Checks that the entry `name` can be written below the root: every folder
// on its way that exists is a plain folder (no link or junction), the file
// itself is missing or a plain file that can be opened for writing now.
// Folders still missing are added to the staging plan. A plain file on the
// way, or a plain folder at the name, is told in `in_way`: it goes aside
// (AddAside), and what lies below that file is missing.
Failure CheckTarget(Staging& staging, const WString& name, StagedEntry& entry, InTheWay& in_way) {
  bool missing = false;  // below a missing folder everything is missing
  for (const WString& folder : package::FoldersOf(name)) {
    if (!missing && !staging.folders.Get(folder)) {
      platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(folder);
      platform::Result<platform::NodeKind> kind =
          parent ? platform::KindIn(**parent, package::LastComponent(folder))
                 : platform::Result<platform::NodeKind>(parent.status());
      platform::NodeKind found = kind ? *kind : platform::NodeKind::kOther;
      missing = found == platform::NodeKind::kMissing || found == platform::NodeKind::kFile;
      if (found == platform::NodeKind::kFile) in_way = {folder, false};
      // A link, or what cannot be told.
      if (!missing) return Fail(Cause::kTargetRefused, entry.target, kind.status());
    }
    if (missing && std::find(staging.new_folders.begin(), staging.new_folders.end(), folder) ==
                       staging.new_folders.end()) {
      staging.new_folders.push_back(folder);
    }
  }
  if (missing) return {};
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

// Counts the delta record whose streams start at `stream` as done: the
// package goes past them, and nothing is staged.
Failure SkipCurrent(platform::File& package, const package::RecordReader& reader,
                    const package::Record& record, int64_t stream, Staging& staging) {
  platform::Status past = package.Seek(stream + record.streams_size(), SEEK_SET);
  if (!past) return reader.Fault(Cause::kPackageReadFailed, past);
  return DropCurrentEntry(staging);
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

// Builds the new file of a delta record while another thread checks that the
// old file (at its own name, or the one a move names) is the very version
// the record was made from. A target that already is the new version is
// done, and nothing is staged for it.
Failure StagePatched(platform::File& package, const package::RecordReader& reader,
                     const package::Record& record, Staging& staging, StagedEntry& entry,
                     bool verified = false) {
  bool moved = record.old_name != record.name;
  int64_t stream = package.Tell();
  if (moved && TargetIsCurrent(staging, record, entry)) {
    return SkipCurrent(package, reader, record, stream, staging);
  }
  // Not moved and no file at the target: there is no old file to patch.
  platform::Result<platform::File> old =
      entry.existed || moved
          ? ReadEntryFile(staging, record.old_name)
          : platform::Result<platform::File>(platform::Status::Error(platform::MissingError()));
  if (!old) {
    if (!moved && TargetIsCurrent(staging, record, entry)) {
      return SkipCurrent(package, reader, record, stream, staging);
    }
    return WrongOldFile(staging, record, entry, old.status());
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
  if (verified) patched = BlameAChangedOldFile(patched, *old, record, staging);
  if (check.expected) return patched;
  if (!moved && TargetIsCurrent(staging, record, entry)) {
    (void)platform::RemoveFileIn(staging.staging_folder, entry.staged);
    return SkipCurrent(package, reader, record, stream, staging);
  }
  return WrongOldFile(staging, record, entry);
}

// Counts the removal whose file is missing already as done.
Failure DropRemoved(Staging& staging, const package::Record& record) {
  NoteMatch(staging.report, record, record.current_in);
  return DropCurrentEntry(staging);
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

// The version of an "alts" record that is installed: its index in
// `versions`, or -1. Each is told by its size first, then its SHA-256.
int MatchVersion(Staging& staging, const package::Record& record) {
  for (int i = 0; i < record.version_count; ++i) {
    const package::Version& version = record.versions[i];
    if (KnownFile(staging, ReadEntryFile(staging, record.old_names[i]), version.size,
                  version.hash)) {
      return i;
    }
  }
  return -1;
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

// Stages an "alts" record: the patch from the old version installed; where
// none is, nothing when the target already is the new file, else the whole
// file where the record has it. The package is left after its streams.
Failure StageChoice(platform::File& package, package::RecordReader& reader, package::Record& record,
                    Staging& staging, StagedEntry& entry) {
  int64_t streams = package.Tell(), end = streams + record.streams_size();
  int chosen = -1;
  {
    UPDATER_PHASE(staging.report.phases, kHashOld);
    chosen = MatchVersion(staging, record);
  }
  uint32_t matched = record.current_in;
  Failure staged;
  if (chosen >= 0) {
    matched = record.versions[chosen].releases;
    platform::Status at = package.Seek(streams + BecomeDelta(record, chosen), SEEK_SET);
    staged = at ? StagePatched(package, reader, record, staging, entry, true)
                : reader.Fault(Cause::kPackageReadFailed, at);
  } else if (TargetIsCurrent(staging, record, entry)) {
    staged = DropCurrentEntry(staging);
  } else if (record.whole_length != 0) {
    matched = 0;  // a file of no release: repaired
    platform::Status at = package.Seek(streams + record.patch_offset(record.patch_count), SEEK_SET);
    staged = at ? StageWhole(reader, record, staging, entry)
                : reader.Fault(Cause::kPackageReadFailed, at);
    if (!staged.failed() && package.Tell() != end) staged = reader.Fault(Cause::kBadStream);
  } else {
    staged = Fail(Cause::kNoKnownVersion,
                  entry.target + u" (" + Decimal(record.version_count) + u" versions known)");
  }
  if (staged.failed()) return staged;
  NoteMatch(staging.report, record, matched);
  platform::Status past = package.Seek(end, SEEK_SET);
  return past ? Failure() : reader.Fault(Cause::kPackageReadFailed, past);
}

// The identity of the file a removal `record` names where it is one of the
// record's versions (told by size, then SHA-256), with the releases whose
// version it is in `releases`; a failure where it is none.
platform::Result<platform::FileId> RemovedVersion(Staging& staging, const package::Record& record,
                                                  uint32_t& releases) {
  platform::Result<platform::FileId> known = platform::Status::Refused();
  for (int i = 0; i < record.version_count && !known; ++i) {
    known = KnownFile(staging, ReadEntryFile(staging, record.name), record.versions[i].size,
                      record.versions[i].hash);
    if (known) releases = record.versions[i].releases;
  }
  return known;
}

// A removal of a file already going aside to make room for a record, as a
// file that becomes a folder: that move becomes the removal (counted as
// one), and the record's own entry goes. `releases`: those whose version
// it is.
bool RemovedAsAside(Staging& staging, const package::Record& record, uint32_t& releases) {
  StagedEntry* aside = EntryMovingAside(staging, record.name);
  if (!aside || !aside->aside || aside->folder) return false;
  aside->aside = false;
  releases = 0;
  (void)RemovedVersion(staging, record, releases);
  NoteMatch(staging.report, record, releases);
  staging.entries.pop_back();
  return true;
}

// Plans the removal of a record's file: through plain folders only, and only
// the very version the update removes. A file already missing is done; any
// other content at its name (an edited file, a link, a folder) is kept.
Failure StageRemoval(Staging& staging, StagedEntry& entry, const package::Record& record) {
  entry.removal = true;
  const platform::Folder* parent = &staging.folders.root();
  std::vector<WString> folders = package::FoldersOf(entry.name);
  for (const WString& folder : folders) {
    platform::Result<const platform::Folder*> held = staging.folders.Get(folder);
    platform::Result<platform::NodeKind> kind =
        held ? platform::NodeKind::kFolder
             : platform::KindIn(*parent, package::LastComponent(folder));
    // Nothing is below a missing folder, or below a file (the folder of an
    // earlier release, a file again).
    if (kind && (*kind == platform::NodeKind::kMissing || *kind == platform::NodeKind::kFile)) {
      return DropRemoved(staging, record);
    }
    if (!held) return Fail(Cause::kTargetRefused, entry.target, kind.status());
    parent = *held;
  }
  WString leaf = package::LastComponent(entry.name);
  platform::Result<platform::NodeKind> kind = platform::KindIn(*parent, leaf);
  if (kind && *kind == platform::NodeKind::kMissing) return DropRemoved(staging, record);
  // A folder the update's files lie in, where an earlier release had this
  // file: the update made it, or it is the player's, and it stays.
  if (kind && *kind == platform::NodeKind::kFolder && staging.folders.Holds(entry.name)) {
    return DropRemoved(staging, record);
  }
  uint32_t& releases = entry.releases;
  platform::Result<platform::FileId> known = RemovedVersion(staging, record, releases);
  if (!known) {
    NoteMatch(staging.report, record, 0);
    staging.report.kept.push_back(entry.name);
    staging.entries.pop_back();  // nothing to do: it stays as it is
    return {};
  }
  NoteMatch(staging.report, record, releases);
  entry.existed = true;
  entry.old_id = *known;  // the commit moves this file and no other
  // Only whether it is read-only is taken from this, through a handle that
  // opens it for nothing: one in use is told at the commit.
  (void)platform::FileIdIn(*parent, leaf, platform::Links::kRefuse, &entry.read_only);
  // Its folders may go too, each only after every folder below it.
  std::vector<WString>& gone = staging.gone_folders;
  for (const WString& folder : folders) {
    if (std::find(gone.begin(), gone.end(), folder) != gone.end()) continue;
    auto depth = [](const WString& name) { return std::count(name.begin(), name.end(), u'\\'); };
    gone.insert(std::find_if(gone.begin(), gone.end(),
                             [&](const WString& other) { return depth(other) < depth(folder); }),
                folder);
  }
  return {};
}

}  // namespace

Failure StageRecord(platform::File& package, package::RecordReader& reader, package::Record& record,
                    Staging& staging) {
  AddStagedEntry(staging, record.name, record.target);
  StagedEntry& entry = staging.entries.back();
  if (record.kind == package::RecordKind::kRemove) {
    uint32_t releases = 0;
    return RemovedAsAside(staging, record, releases) ? Failure()
                                                     : StageRemoval(staging, entry, record);
  }
  Failure failure;
  InTheWay in_way;
  {
    UPDATER_PHASE(staging.report.phases, kCheckTarget);
    failure = CheckTarget(staging, record.name, entry, in_way);
  }
  if (failure.failed()) return failure;
  if (record.is_delta()) {
    failure = StagePatched(package, reader, record, staging, entry);
  } else if (record.kind == package::RecordKind::kChoice) {
    failure = StageChoice(package, reader, record, staging, entry);
  } else if (record.in_block && TargetIsCurrent(staging, record, entry)) {
    // A file of a block knows its size and SHA-256: one that is there already
    // (a second run) is done, its bytes passed over by the reader.
    failure = DropCurrentEntry(staging);
  } else {
    failure = StageWhole(reader, record, staging, entry);
  }
  // What stands in its way goes aside as the commit places it.
  return failure.failed() ? failure : AddAside(staging, in_way);
}

namespace {

// The forecast of a record that writes a file, whose target `CheckTarget`
// found sound.
Forecast ForecastWritten(const package::Record& record, Staging& staging, StagedEntry& entry,
                         const InTheWay& in_way) {
  Forecast forecast;
  if (record.kind == package::RecordKind::kFile) {
    forecast.action = in_way.folder    ? Forecast::kReplace
                      : !entry.existed ? Forecast::kAdd
                      : record.in_block && TargetIsCurrent(staging, record, entry)
                          ? Forecast::kCurrent
                          : Forecast::kReplace;
    return forecast;
  }
  // As StagePatched decides: a moved file already in place is current.
  bool choice = record.kind == package::RecordKind::kChoice;
  int version = choice ? MatchVersion(staging, record) : -1;
  const WString& old_name = version >= 0 ? record.old_names[version] : record.old_name;
  if (!choice) {
    if (KnownFile(staging, ReadEntryFile(staging, old_name), record.delta.old_size,
                  record.delta.old_hash)) {
      version = 0;
    }
  }
  // The target's own bytes decide only where no version is there in its
  // place: none matched, or the one that did is read from another name.
  bool current =
      (version < 0 || old_name != record.name) && TargetIsCurrent(staging, record, entry);
  forecast.releases = version >= 0 && choice ? record.versions[version].releases : 0;
  if (version >= 0 && !current) {
    forecast.action = Forecast::kPatch;
    forecast.version = choice ? version : -1;
  } else if (current) {
    forecast.action = Forecast::kCurrent;
    if (version < 0) forecast.releases = record.current_in;
  } else if (choice && record.whole_length != 0) {
    forecast.action = Forecast::kWhole;
  } else {
    forecast.failure =
        choice ? Fail(Cause::kNoKnownVersion, entry.target) : WrongOldFile(staging, record, entry);
  }
  if (choice) NoteMatch(staging.report, record, forecast.releases);
  return forecast;
}

}  // namespace

Forecast ForecastRecord(const package::Record& record, Staging& staging) {
  AddStagedEntry(staging, record.name, record.target);
  StagedEntry& entry = staging.entries.back();
  Forecast forecast;
  if (record.kind == package::RecordKind::kRemove) {
    size_t entries = staging.entries.size(), kept = staging.report.kept.size();
    if (RemovedAsAside(staging, record, forecast.releases)) {
      forecast.action = Forecast::kRemove;
      return forecast;
    }
    forecast.failure = StageRemoval(staging, entry, record);
    if (forecast.failure.failed()) return forecast;
    if (staging.entries.size() == entries) {
      forecast.action = Forecast::kRemove;
      forecast.releases = entry.releases;
    } else {
      forecast.action = staging.report.kept.size() > kept ? Forecast::kKeep : Forecast::kCurrent;
    }
    return forecast;
  }
  InTheWay in_way;
  forecast.failure = CheckTarget(staging, record.name, entry, in_way);
  if (forecast.failure.failed()) return forecast;
  forecast = ForecastWritten(record, staging, entry, in_way);
  if (forecast.action == Forecast::kFail) return forecast;
  forecast.failure = AddAside(staging, in_way);  // the entry's place moves: it goes last
  if (forecast.failure.failed()) forecast.action = Forecast::kFail;
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
