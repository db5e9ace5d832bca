#include "apply/record_stager.h"

#include <cstring>

#include "apply/patch_writer.h"
#include "apply/record_plan.h"
#include "package/content_stream.h"

namespace updater::apply {
namespace {

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

}  // namespace updater::apply
